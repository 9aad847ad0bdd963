// Cost of looking up the effective configuration of a path: cache hits for a
// shallow and a deep path, with and without access files on the way, with
// change notification and with signature checks; and the cost of a build.
#include "core/ini_file.h"
#include "core/text.h"
#include "scripting/scripting_host.h"
#include "server/config/config_cache.h"
#include "server/directives/directives.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int deep_levels = 20;

// Two trees under one public directory: "plain" without access files and
// "conf" with one in every directory.
struct tree {
    fs::path root;
    cl::ini_file ini;
    std::unique_ptr<scripting::scripting_host> host;

    tree() {
        std::string tmpl = (fs::temp_directory_path() / "tqbenchXXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        root = tmpl;
        fs::create_directories(root / "pub");
        for (const std::string kind : {"plain", "conf"}) {
            fs::path p = root / "pub" / kind;
            for (int i = 0; i <= deep_levels; ++i) {
                fs::create_directories(p);
                if (kind == "conf") write(p / ".htaccess", "DefaultType text/x-bench\n");
                if (i == 1 || i == deep_levels) write(p / "f.txt", "x");
                std::string name = "d";
                name += std::to_string(i);
                p /= name;
            }
        }
        set_data_dir(cl::utf8_to_utf16(root.string()));
        set_public_dir(cl::utf8_to_utf16((root / "pub").string()));
        set_trace_level(0);
        build_directive_table();
        host = std::make_unique<scripting::scripting_host>(ini);
        set_script_host(host.get());
    }
    ~tree() {
        set_script_host(nullptr);
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    static void write(const fs::path& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
};

tree& the_tree() {
    static tree t;
    return t;
}

// The URL of the file 1 or 20 directories below the tree's top.
std::wstring url_of(bool conf, int levels) {
    std::wstring u = conf ? L"/conf/" : L"/plain/";
    for (int i = 0; i < levels; ++i)
        u += L"d" + std::to_wstring(i) + L"/";
    return u + L"f.txt";
}

void lookup_hit(benchmark::State& state, bool watch) {
    the_tree();
    const int levels = static_cast<int>(state.range(0));
    const bool conf = state.range(1) != 0;
    server_config::config_info_cache::options o;
    o.use_watch = watch;
    o.racy_seconds = 0; // the tree was written just now
    server_config::config_info_cache cache(o);
    const std::wstring url = url_of(conf, levels);
    if (!cache.get(url, L"GET")) state.SkipWithError("lookup failed");
    const uint64_t builds = cache.builds();
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.get(url, L"GET"));
    if (cache.builds() != builds) state.SkipWithError("cache missed");
}

void bm_hit_watch(benchmark::State& state) {
    lookup_hit(state, true);
}
void bm_hit_signature(benchmark::State& state) {
    lookup_hit(state, false);
}

void bm_build(benchmark::State& state) {
    the_tree();
    const int levels = static_cast<int>(state.range(0));
    const bool conf = state.range(1) != 0;
    server_config::config_info_cache cache;
    const std::wstring url = url_of(conf, levels);
    for (auto _ : state) {
        auto found = cache.get(url, L"GET");
        if (!found) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(found);
        state.PauseTiming();
        cache.clear();
        state.ResumeTiming();
    }
}

void args(benchmark::internal::Benchmark* b) {
    b->ArgNames({"levels", "access_files"});
    for (int conf : {0, 1})
        for (int levels : {1, deep_levels})
            b->Args({levels, conf});
}

} // namespace

BENCHMARK(bm_hit_watch)->Apply(args);
BENCHMARK(bm_hit_signature)->Apply(args);
BENCHMARK(bm_build)->Apply(args);

BENCHMARK_MAIN();
