#include "core/text.h"
#include "core/trace.h"
#include "shell/ml.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Collects what goes to the error channel, where the reader reports.
struct captured_trace : cl::trace_base {
    std::string text;
    void write(std::string_view t, bool) override { text += t; }
    void flush(bool) override {}
};

class StringFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("TQ_TEST_TMP");
        static std::atomic<int> n{0};
        dir_ = fs::path(base ? base : "/tmp") /
               ("ml_" + std::to_string(getpid()) + "_" + std::to_string(n++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        cl::trace_err.add(&errors_);
    }
    void TearDown() override {
        cl::trace_err.remove(&errors_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::wstring write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return (dir_ / name).wstring();
    }
    fs::path dir_;
    captured_trace errors_;
};

std::wstring load_one(const std::wstring& path, std::vector<uint16_t> prio = {0x409},
                      std::wstring_view id = L"a") {
    ML t;
    language_file_list langs;
    EXPECT_TRUE(t.load(path, prio, langs, false));
    return t.lookup(id, false);
}

} // namespace

TEST_F(StringFiles, GrammarTable) {
    const std::wstring missing = L"*** ml: String not found [name='a']";
    struct row {
        const char* file;  // after "#language 1033\n"
        std::wstring a;    // raw text of id "a"
        const char* error; // diagnostic expected, or ""
    } rows[] = {
        {"a = \"x\" \"y\";", L"xy", ""},
        {"a = \"x\", \"y\";", L"xy", ""},
        {"a = 0;", L"", ""},
        {"A = \"upper\";", L"upper", ""},
        {"a = \"\\x41\";", L"A", ""},
        {"a = \"\\x263a\";", L"\x263a", ""},
        {"a = \"\\x12345\";", L"\x2345", ""},
        {"a = \"\\x4g\";", L"\x4g", ""},
        {"a = \"\\x\";", std::wstring(1, L'\0'), ""},
        {"a = \"t\\tn\\nq\\\"b\\\\\";", L"t\tn\nq\"b\\", ""},
        {"a = \"one\\\ntwo\";", L"onetwo", ""},
        {"a = \"bad\\q\";", L"bad?", "(2): unknown escape char"},
        {"a = \"open\n;", L"open", "(3): forgotten '\"'?"},
        {"a = \"x\" // note\n ;", L"x", ""},
        {"a = \"first\";\na = \"second\";", L"first", ""},
        {"a \"x\";", missing, "(2): expected '='"},
        {"a = 7;", missing, "(2): expected '\"' or '0'"},
        {"a = \"x\" :", missing, "(2): expected ';', ',' or '\"'"},
        {"a = \"x\", \"y\" :", L"x", "expected ';', ',' or '\"'"},
        {"a = \"x\"", missing, "(2): file short?"},
        {"!a = \"x\";", missing, "(2): expected identifier, '#' or '/'"},
        {"#Language 1031\na = \"x\";", L"x", "(3): unknown directive '#Language'"},
        {"#language\na = \"x\";", L"x", "(3): expected space"},
        {"a = \"x\";\r\nb = \"y\";\r\n", L"x", ""},
        {"a = \"one\\\r\ntwo\";\r\n", L"onetwo", ""},
        {"a = \"open\r\n;\r\n", L"open", "(3): forgotten '\"'?"},
        {"a = \"cr\rin\";", L"cr\rin", ""},
    };
    for (const auto& r : rows) {
        errors_.text.clear();
        const auto path = write("f.txt", std::string("#language 1033\n") + r.file);
        EXPECT_EQ(load_one(path), r.a) << r.file;
        if (*r.error)
            EXPECT_NE(errors_.text.find(r.error), std::string::npos) << r.file << "\n"
                                                                     << errors_.text;
        else
            EXPECT_EQ(errors_.text, "") << r.file;
    }
}

TEST_F(StringFiles, CrLfLineEndsEndDirectivesAndComments) {
    const auto path = write("f.txt", "// head\r\n#language 0x407\r\n#fallback 1033\r\n"
                                     "a = \"de\"; // tail\r\nb = \"b\";\r\n");
    ML t;
    language_file_list langs;
    ASSERT_TRUE(t.load(path, {0x407, 0x409}, langs, false));
    EXPECT_EQ(t.lookup(L"a", false), L"de");
    EXPECT_EQ(t.lookup(L"b", false), L"b");
    ASSERT_EQ(langs.languages.size(), 1u);
    EXPECT_EQ(langs.languages[0].langids, (std::vector<uint16_t>{0x407, 0x409}));
    EXPECT_EQ(errors_.text, "");
}

TEST_F(StringFiles, EncodingsGiveTheSameTable) {
    const std::string text = "#language 1033\na = \"gr\xc3\xbc\xc3\x9f \xe2\x98\xba\";\n";
    std::string utf16 = "\xff\xfe";
    for (wchar_t c : cl::utf8_to_utf16(text)) {
        utf16 += char(c & 0xFF);
        utf16 += char(c >> 8);
    }
    const std::wstring want = L"gr\xfc\xdf \x263a";
    EXPECT_EQ(load_one(write("u8.txt", "\xef\xbb\xbf" + text)), want);
    EXPECT_EQ(load_one(write("u16.txt", utf16)), want);
}

TEST_F(StringFiles, DirectivesAndFallbackOrder) {
    const auto path = write("f.txt", "#language 0x407\n#fallback1 1036\n"
                                     "#charset 5\n#language 1031\n#fallback 1036\n#fallback1 1033\n"
                                     "language = \"Deutsch\";\nlanguage = \"Other\";\n"
                                     "#fallback 1\n#charset\n");
    language_file_list langs;
    ASSERT_TRUE(langs.scan_file(path));
    ASSERT_EQ(langs.languages.size(), 1u) << "0x407 and 1031 are one language";
    EXPECT_EQ(langs.languages[0].langids, (std::vector<uint16_t>{0x407, 1036, 1033}));
    EXPECT_EQ(langs.languages[0].charset, 5);
    EXPECT_EQ(langs.languages[0].name, L"Deutsch");
    EXPECT_NE(errors_.text.find("(3): fallbackid out of sequence"), std::string::npos)
        << errors_.text;
    EXPECT_NE(errors_.text.find("(10): fallbackid out of sequence"), std::string::npos)
        << errors_.text;
    EXPECT_NE(errors_.text.find("(11): expected space"), std::string::npos) << errors_.text;

    errors_.text.clear();
    ASSERT_TRUE(langs.scan_file(write("g.txt", "#fallback 1033\n#charset 3\n")));
    EXPECT_NE(errors_.text.find("(2): no language specified"), std::string::npos);
    EXPECT_NE(errors_.text.find("(3): no language specified"), std::string::npos);
}

TEST_F(StringFiles, PriorityDecidesWhichDefinitionStays) {
    // The main file: US English first, then German, then French (not wanted).
    const auto main = write("qvelsml.txt", "#language 1033\na = \"en-a\";\nb = \"en-b\";\n"
                                           "teskqvel_mainurl = \"http://main\";\n"
                                           "#language 1031\n#fallback 1033\na = \"de-a\";\n"
                                           "#language 1036\na = \"fr-a\";\nc = \"fr-c\";\n");
    // A further file adds German texts and tries to change the main URL.
    write("qvelsml_x.txt",
          "#language 1031\nb = \"de-b (further)\";\n"
          "teskqvel_mainurl = \"http://evil\";\nteskqvel_updateurl = \"http://u\";\n");
    ML t;
    ASSERT_TRUE(t.load_files(main, (dir_ / "qvelsml_*.txt").wstring(), {1031, 1033}, L"Prod",
                             {"teskqvel_mainurl", "teskqvel_updateurl"}));
    EXPECT_EQ(t.get("a"), L"de-a");
    EXPECT_EQ(t.language_of(L"a"), 1031);
    EXPECT_EQ(t.get("b"), L"de-b (further)") << "a preferred language in a later file wins";
    EXPECT_EQ(t.get("c"), L"*** ml: String not found [name='c']") << "French is not wanted";
    EXPECT_EQ(t.get("teskqvel_mainurl"), L"http://main");
    EXPECT_FALSE(t.has(L"teskqvel_updateurl"));
    EXPECT_EQ(t.get("product"), L"Prod");
    EXPECT_EQ(t.chosen_language(), 1031);
}

TEST_F(StringFiles, LanguageSelectionRules) {
    auto list = [](std::vector<uint16_t> ids) {
        language_file_list l;
        for (auto id : ids)
            l.set_language(id);
        return l;
    };
    struct row {
        std::vector<uint16_t> offered;
        uint16_t requested, system, want;
    } rows[] = {
        {{0x409, 0x407}, 0x407, 0x40c, 0x407}, // the requested one
        {{0x409, 0x40c}, 0x407, 0x40c, 0x40c}, // else the system's
        {{0x409, 0x407}, 0x411, 0x807, 0x407}, // the system's primary, default sub-language
        {{0x409, 0xc07}, 0x411, 0x807, 0xc07}, // any of the system's primary language
        {{0x40c, 0x409}, 0x411, 0x419, 0x409}, // US English
        {{0x40c, 0x410}, 0x411, 0x419, 0x40c}, // the first one
        {{}, 0x409, 0x409, 0},
    };
    for (const auto& r : rows) {
        auto l = list(r.offered);
        EXPECT_EQ(l.select(r.requested, r.system), r.want) << r.requested << " " << r.system;
        if (r.want) {
            EXPECT_EQ(l.current()->langids[0], r.want);
        }
    }
    EXPECT_NE(errors_.text.find("No language found in multi language file!"), std::string::npos);
}

TEST_F(StringFiles, FurtherFileLanguagesFallBackToUsEnglish) {
    const auto main = write("qvelsml.txt", "#language 1033\na = \"en-a\";\nb = \"en-b\";\n"
                                           "#language 1031\na = \"de-a\";\n");
    write("qvelsml_ru.txt", "#language 1049\nlanguage = \"Russkij\";\na = \"ru-a\";\n"
                            "#language 1031\na = \"ignored: main file has German\";\n");
    language_file_list langs;
    ASSERT_TRUE(enumerate_language_files(main, (dir_ / "qvelsml_*.txt").wstring(), langs));
    ASSERT_EQ(langs.languages.size(), 3u);
    EXPECT_EQ(langs.languages[1].langids, (std::vector<uint16_t>{1031})) << "no 1033 in main";
    EXPECT_EQ(langs.languages[2].langids, (std::vector<uint16_t>{1049, 1033}));
    EXPECT_EQ(langs.languages[2].name, L"Russkij");
    ASSERT_EQ(langs.select(1049, 1033), 1049);
    ML t;
    ASSERT_TRUE(
        t.load_files(main, (dir_ / "qvelsml_*.txt").wstring(), langs.current()->langids, L"", {}));
    EXPECT_EQ(t.get("a"), L"ru-a");
    EXPECT_EQ(t.get("b"), L"en-b");
    EXPECT_FALSE(enumerate_language_files((dir_ / "missing.txt").wstring(), L"", langs));
}

TEST_F(StringFiles, LookupDecodesEntitiesThenPlaceholders) {
    const auto main =
        write("qvelsml.txt", "#language 1033\n"
                             "amp = \"&amp;lt;b&amp;gt; &quot;q&quot; &apos;\";\n"
                             "pct = \"100%%\";\nprod = \"I am %p, see %w/x %q\";\n"
                             "webbase = \"http://w\";\nempty = \"\";\nMixed = \"m\";\n");
    ML t;
    ASSERT_TRUE(t.load_files(main, L"", {1033}, L"Tesk qvel", {}));
    EXPECT_EQ(t.get("amp"), L"<b> \"q\" '");
    EXPECT_EQ(t.lookup(L"amp", false), L"&amp;lt;b&amp;gt; &quot;q&quot; &apos;");
    EXPECT_EQ(t.get("pct"), L"100%");
    EXPECT_EQ(t.get("prod"), L"I am Tesk qvel, see http://w/x %q");
    EXPECT_EQ(t.get("empty"), L"");
    EXPECT_EQ(t.get("\xE6\xB1\xD7mixed"), L"m");
    EXPECT_EQ(t.get("MIXED"), L"m");
    EXPECT_EQ(t.get("nope"), L"*** ml: String not found [name='nope']");
    t.set_placeholder(L"p", L"Other");
    EXPECT_EQ(t.get("prod"), L"I am Other, see http://w/x %q");
}

TEST_F(StringFiles, AReloadNeverShowsReadersAnEmptyTable) {
    const auto main =
        write("qvelsml.txt", "#language 1033\na = \"en\";\n#language 1031\na = \"de\";\n");
    ML t;
    ASSERT_TRUE(t.load_files(main, L"", {1033}, L"", {}));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop)
            if (t.get("a").rfind(L"***", 0) == 0) ++bad;
    });
    for (int i = 0; i < 200; ++i)
        t.load_files(main, L"", {uint16_t(i % 2 ? 1033 : 1031)}, L"", {});
    stop = true;
    reader.join();
    EXPECT_EQ(bad, 0);
    // A failed load keeps the table in use.
    EXPECT_FALSE(t.load_files((dir_ / "gone.txt").wstring(), L"", {1033}, L"", {}));
    EXPECT_EQ(t.get("a"), L"en");
}

TEST(LanguageCodes, TableAndFallbacks) {
    EXPECT_EQ(language_codes::code(0x0409), L"en");
    EXPECT_EQ(language_codes::code(0x0c0a), L"es");
    EXPECT_EQ(language_codes::code(0x0816), L"pt-br");
    EXPECT_EQ(language_codes::code(0x0445), L"en");
    EXPECT_EQ(language_codes::code(0x281a), L"sr-cs-cyrl");
}
