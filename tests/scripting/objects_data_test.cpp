// Loggers, hash lists, images, mail and server lists, driven by scripts in
// the real engine against real files and a real SMTP conversation.
#include "objects_test_support.h"

#include "core/ini_file.h"
#include "platform/image/image.h"
#include "server/blocklist.h"
#include "system/password_crypt.h"

#include <arpa/inet.h>
#include <gd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utime.h>

#include <thread>

namespace objects_test {
namespace {

// ---- loggers ----

TEST_F(objects_fixture, LoggersAreSharedByNameAndWriteTheirLines) {
    so::close_all_loggers();
    script s(state_);
    ASSERT_EQ(s.run(L"var a = logger(" + js("site.log") + L", 0), b = logger(" + js("site.log") +
                    L", 0);\n"
                    L"a.write('first line\\n'); b.write('second ');\n"
                    L"var c = logger(" +
                    js("SITE.log") + L", 5); c.write('other\\n');\n"),
              s_ok)
        << s.error_text();
    EXPECT_EQ(so::logger_count(), 2u);
    // A line begun by one script is ended by another on another thread.
    std::thread([&] {
        script other(state_);
        EXPECT_EQ(other.run(L"logger(" + js("site.log") + L", 0).write('line\\nunfinished');"),
                  s_ok);
    }).join();
    // Still in use by the script: the sweep keeps them.
    so::sweep_loggers(scripting::hashlist::now_seconds() + 100);
    EXPECT_EQ(so::logger_count(), 2u);
    s.run(L"a = b = c = null;");
    s.eng.collect_garbage();
    // Unused: the one with a time-out goes, the one without stays.
    so::sweep_loggers(scripting::hashlist::now_seconds() + 100);
    EXPECT_EQ(so::logger_count(), 1u);
    so::close_all_loggers();
    EXPECT_EQ(so::logger_count(), 0u);
    // The unfinished line is not lost when the logger closes.
    EXPECT_EQ(read(path("site.log")), "first line\r\nsecond line\r\nunfinished\r\n");
    EXPECT_EQ(read(path("SITE.log")), "other\r\n");

    // A logger a script still holds at server stop has its lines written then.
    ASSERT_EQ(s.run(L"var kept = logger(" + js("kept.log") + L", 0); kept.write('no line end');"),
              s_ok);
    so::close_all_loggers();
    EXPECT_EQ(read(path("kept.log")), "no line end\r\n");
}

// ---- hash lists ----

TEST_F(objects_fixture, HashListIteratesAndKeepsEscapedValues) {
    script s(state_);
    ASSERT_EQ(
        s.run(
            L"var h = hash_list(" + js("list.txt") +
            L", 0); h.open(0);\n"
            L"h.value('b', 'two'); h.value('a', 'line\\nquote\"back\\\\'); h.value('c', 'three');\n"
            L"h.value('pre.x', '1'); h.value('pre.y', '2');\n"
            L"var keys = [];\n"
            L"for (var it = h.begin(); !it.equal(h.end()); it.inc(1)) keys.push(it.key());\n"
            L"var back = []; var e = h.end(); e.dec(2); back.push(e.key()); e.dec(10); "
            L"back.push(e.key());\n"
            L"var f = h.find('b'); f.value = 'TWO';\n"
            L"var o = h.toObject('pre.'); var props = [];\n"
            L"for (var k in o) props.push(k + '=' + o[k]);\n"
            L"o['pre.y'] = '22'; delete o['pre.x'];\n"
            L"var saved = h.save();\n"
            L"var out = keys.join(',') + '|' + back.join(',') + '|' + props.join(',') + '|' + "
            L"h.size();\n"),
        s_ok)
        << s.error_text();
    EXPECT_EQ(s.text(L"out"), L"a,b,c,pre.x,pre.y|pre.x,a|pre.x=1,pre.y=2|4");
    EXPECT_EQ(
        read(path("list.txt")),
        "\xEF\xBB\xBF\"a\",\"line\\nquote\\\"back\\\\\"\r\n\"b\",\"TWO\"\r\n\"c\",\"three\"\r\n"
        "\"pre.y\",\"22\"\r\n");
    // Read back from the file by a fresh registry, the value is unchanged.
    s.run(L"h = o = f = e = it = null;");
    s.eng.collect_garbage();
    scripting::close_all_hashlists();
    script t(state_);
    ASSERT_EQ(
        t.run(L"var v = hash_list(" + js("list.txt") + L", 0); v.open(0); var a = v.value('a');"),
        s_ok);
    EXPECT_EQ(t.text(L"a"), L"line\nquote\"back\\");
}

TEST_F(objects_fixture, FailedHashListSaveKeepsTheData) {
    std::filesystem::create_directories(dir_ / "sub");
    script s(state_);
    ASSERT_EQ(s.run(L"var h = hash_list(" + js("sub/l.txt") +
                    L", 0); h.open(0);\n"
                    L"h.value('k', 'v1'); var first = h.save();\n"),
              s_ok);
    EXPECT_EQ(s.text(L"first"), L"-1");
    std::filesystem::remove_all(dir_ / "sub");
    ASSERT_EQ(s.run(L"h.value('k', 'v2'); h.value('n', 'new'); var second = h.save();\n"
                    L"var still = h.value('k') + h.value('n');\n"),
              s_ok);
    EXPECT_EQ(s.text(L"second"), L"0");
    EXPECT_EQ(s.text(L"still"), L"v2new");
    // Once the folder is back, the next save writes everything.
    std::filesystem::create_directories(dir_ / "sub");
    ASSERT_EQ(s.run(L"var third = h.save();"), s_ok);
    EXPECT_EQ(s.text(L"third"), L"-1");
    EXPECT_EQ(read(path("sub/l.txt")), "\xEF\xBB\xBF\"k\",\"v2\"\r\n\"n\",\"new\"\r\n");
}

// ---- images ----

// A picture with a left half red and a right half blue (palette or true colour).
void draw(const std::string& file, int w, int h, const std::string& kind) {
    gdImagePtr im = kind == "gif" ? gdImageCreate(w, h) : gdImageCreateTrueColor(w, h);
    const int red = gdImageColorAllocate(im, 255, 0, 0), blue = gdImageColorAllocate(im, 0, 0, 255);
    gdImageFilledRectangle(im, 0, 0, w / 2 - 1, h - 1, red);
    gdImageFilledRectangle(im, w / 2, 0, w - 1, h - 1, blue);
    int size = 0;
    void* p = kind == "png"   ? gdImagePngPtr(im, &size)
              : kind == "jpg" ? gdImageJpegPtr(im, &size, 90)
                              : gdImageGifPtr(im, &size);
    std::ofstream(file, std::ios::binary).write(static_cast<char*>(p), size);
    gdFree(p);
    gdImageDestroy(im);
}

std::pair<int, int> size_of(const std::vector<uint8_t>& bytes) {
    int st = 0;
    auto b = image::bitmap::decode(bytes, &st);
    return b ? std::make_pair(b->width(), b->height()) : std::make_pair(-st, -st);
}
std::pair<int, int> size_of_file(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    const std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return size_of(std::vector<uint8_t>(s.begin(), s.end()));
}

TEST_F(objects_fixture, ImagesScaleToTheLongerSide) {
    draw(path("wide.png"), 1000, 500, "png");
    draw(path("wide.jpg"), 1000, 500, "jpg");
    draw(path("pal.gif"), 300, 600, "gif");
    script s(state_);
    ASSERT_EQ(s.run(L"var p = create_image(" + js("wide.png") + L"), j = create_image(" +
                    js("wide.jpg") + L"), g = create_image(" + js("pal.gif") +
                    L");\n"
                    L"var dims = [p.width, p.height, j.width, j.height].join(',');\n"
                    L"var r = [p.save(" +
                    js("a.png") + L", 200, 0), j.save(" + js("b.jpg") +
                    L", 0, 200),\n"
                    L"         p.save(" +
                    js("c.png") + L", 50, 70), p.save(" + js("d.png") +
                    L", 0, 0)];\n"
                    L"g.interpolation_mode = 5; r.push(g.save(" +
                    js("e.gif") +
                    L", 0, 30));\n"
                    L"r.push(create_image(" +
                    js("missing.png") +
                    L").width);\n"
                    L"var out = r.join(',');\n"),
              s_ok)
        << s.error_text();
    EXPECT_EQ(s.text(L"dims"), L"1000,500,1000,500");
    EXPECT_EQ(s.text(L"out"), L"true,true,true,true,true,0");
    EXPECT_EQ(size_of_file(path("a.png")), std::make_pair(200, 100));
    EXPECT_EQ(size_of_file(path("b.jpg")), std::make_pair(200, 100));
    EXPECT_EQ(size_of_file(path("c.png")), std::make_pair(50, 70));
    EXPECT_EQ(size_of_file(path("d.png")), std::make_pair(1000, 500));
    EXPECT_EQ(size_of_file(path("e.gif")), std::make_pair(15, 30));
    // The colours survive the palette-to-true-colour scaling of the GIF.
    gdImagePtr e = gdImageCreateFromFile(path("e.gif").c_str());
    ASSERT_NE(e, nullptr);
    const int c = gdImageGetTrueColorPixel(e, 2, 15);
    EXPECT_GT(gdTrueColorGetRed(c), 240);
    EXPECT_LT(gdTrueColorGetBlue(c), 16);
    gdImageDestroy(e);
}

TEST_F(objects_fixture, ImageCacheIsReusedThenRebuiltWhenTheSourceChanges) {
    draw(path("pic.png"), 1000, 500, "png");
    script s(state_);
    ASSERT_EQ(
        s.run(L"var i = create_image(" + js("pic.png") + L"); var a = i.send(200, 0, 'thumbs/');"),
        s_ok)
        << s.error_text();
    EXPECT_EQ(s.text(L"a"), L"-1");
    EXPECT_EQ(state_.response->type, "image/png");
    EXPECT_EQ(size_of(state_.response->body), std::make_pair(200, 100));
    const std::string cache = path("thumbs/pic_200_-1.png");
    EXPECT_EQ(size_of_file(cache), std::make_pair(200, 100));
    // A second send with the same sizes serves the cached file as it is.
    write(cache, "cached bytes");
    state_.response->body.clear();
    ASSERT_EQ(s.run(L"var b = i.send(200, 0, 'thumbs/');"), s_ok);
    EXPECT_EQ(std::string(state_.response->body.begin(), state_.response->body.end()),
              "cached bytes");
    // A newer picture makes the cache stale.
    struct utimbuf old_time {
        1000000, 1000000
    };
    ::utime(cache.c_str(), &old_time);
    draw(path("pic.png"), 400, 800, "png");
    state_.response->body.clear();
    ASSERT_EQ(s.run(L"i.unload(); var c = i.send(200, 0, 'thumbs/');"), s_ok);
    EXPECT_EQ(size_of(state_.response->body), std::make_pair(100, 200));
    EXPECT_EQ(size_of_file(cache), std::make_pair(100, 200));
}

TEST_F(objects_fixture, ImagesRefuseHostileSizesAndForeignPaths) {
    // A PNG header that claims 60000 x 60000 pixels is refused from its header.
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    png += std::string("\0\0\xea\x60\0\0\xea\x60\x08\x06\0\0\0", 13);
    png += std::string(64, '\0');
    write(path("huge.png"), png);
    draw(path("ok.png"), 100, 50, "png");
    state_.allowed = [this](const std::wstring& p) {
        return p.rfind(wpath("ok"), 0) == 0 || p.rfind(wpath("pub"), 0) == 0;
    };
    std::filesystem::create_directories(dir_ / "pub");
    script s(state_);
    ASSERT_EQ(s.run(L"var r = [create_image(" + js("huge.png") +
                    L").width];\n"
                    L"var i = create_image(" +
                    js("ok.png") +
                    L");\n"
                    L"r.push(i.save(" +
                    js("elsewhere.png") +
                    L", 10, 0));\n"
                    L"r.push(i.send(10, 0, '../up'));\n"
                    L"r.push(i.save(" +
                    js("pub/fine.png") +
                    L", 10, 0));\n"
                    L"var out = r.join(',');\n"),
              s_ok)
        << s.error_text();
    EXPECT_EQ(s.text(L"out"), L"0,false,false,true");
    // Refused from the header (out of memory), not after trying to decode it.
    int st = 0;
    EXPECT_EQ(image::bitmap::decode(std::vector<uint8_t>(png.begin(), png.end()), &st), nullptr);
    EXPECT_EQ(st, image::out_of_memory);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "elsewhere.png"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / ".." / "up"));
}

// ---- mail ----

// A small SMTP server on loopback for one conversation: it records the
// commands and the message, and refuses STARTTLS.
class smtp_server {
  public:
    smtp_server() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 1);
        socklen_t n = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~smtp_server() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        if (thread_.joinable()) thread_.join();
    }
    int port = 0;
    std::string log, message;
    void join() { thread_.join(); }

  private:
    void serve() {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        timeval tv{20, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        auto say = [&](const std::string& s) {
            (void)!::send(c, s.data(), s.size(), MSG_NOSIGNAL);
        };
        say("220 test ready\r\n");
        std::string buf;
        bool data = false, auth = false;
        char chunk[4096];
        for (;;) {
            std::size_t eol;
            while ((eol = buf.find("\r\n")) != std::string::npos) {
                const std::string line = buf.substr(0, eol);
                buf.erase(0, eol + 2);
                if (data) {
                    if (line == ".") {
                        data = false;
                        say("250 queued\r\n");
                    } else {
                        message += line + "\n";
                    }
                    continue;
                }
                if (auth) {
                    auth = false;
                    log += "AUTH PLAIN " + line + "\n";
                    say("235 ok\r\n");
                    continue;
                }
                log += line + "\n";
                const std::string verb = line.substr(0, 4);
                if (verb == "EHLO")
                    say("250-test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n");
                else if (verb == "STAR")
                    say("454 TLS not available\r\n");
                else if (verb == "AUTH" && line.size() > 10)
                    say("235 ok\r\n");
                else if (verb == "AUTH") {
                    auth = true;
                    say("334 \r\n");
                } else if (verb == "DATA") {
                    data = true;
                    say("354 go\r\n");
                } else if (verb == "QUIT") {
                    say("221 bye\r\n");
                    ::close(c);
                    return;
                } else
                    say("250 ok\r\n");
            }
            const ssize_t r = ::recv(c, chunk, sizeof chunk, 0);
            if (r <= 0) break;
            buf.append(chunk, static_cast<std::size_t>(r));
        }
        ::close(c);
    }
    int fd_ = -1;
    std::thread thread_;
};

struct mail_fixture : objects_fixture {
    void SetUp() override {
        objects_fixture::SetUp();
        so::register_sendmail_class();
        ini_path_ = path("global.ini");
    }
    void settings(const std::string& text) {
        write(ini_path_, "[Param]\r\n" + text);
        ini_.set_path(cl::utf8_to_utf16(ini_path_), true);
        state_.ini = &ini_;
    }
    std::string ini_path_;
    cl::cached_ini ini_;
};

std::string base64(const std::string& s) {
    static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string o;
    std::size_t i = 0;
    for (; i + 2 < s.size(); i += 3) {
        const uint32_t v = (uint8_t(s[i]) << 16) | (uint8_t(s[i + 1]) << 8) | uint8_t(s[i + 2]);
        o += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
    }
    if (i + 1 == s.size()) {
        const uint32_t v = uint8_t(s[i]) << 16;
        o += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == s.size()) {
        const uint32_t v = (uint8_t(s[i]) << 16) | (uint8_t(s[i + 1]) << 8);
        o += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
    }
    return o;
}

TEST_F(mail_fixture, MailGoesThroughSmtpWithThePlainPasswordEncryptedOnFirstUse) {
    smtp_server server;
    settings("smtp_server=127.0.0.1\r\nsmtp_port=" + std::to_string(server.port) +
             "\r\nsmtp_username=me\r\nsmtp_password= !s3cret \r\nsmtp_debugging=2\r\n");
    script s(state_);
    ASSERT_EQ(s.run(L"var m = create_sendmail();\n"
                    L"var bad = m.send('a@example.org', 'b@example.org', 'x\\r\\nBcc: "
                    L"c@example.org', 'body');\n"
                    L"var ok = m.send('Me <a@example.org>', 'b@example.org, c@example.org', 'Hello "
                    L"\u00e9', "
                    L"'line one\\n.dot line\\n');\n"
                    L"var out = bad + ',' + ok + ',' + m.last_error;\n"),
              s_ok)
        << s.error_text();
    server.join();
    EXPECT_EQ(s.text(L"out"), L"false,true,");
    EXPECT_NE(server.log.find("AUTH PLAIN " + base64(std::string("\0me\0s3cret", 10))),
              std::string::npos)
        << server.log;
    EXPECT_NE(server.log.find("MAIL FROM:<a@example.org>"), std::string::npos);
    EXPECT_NE(server.log.find("RCPT TO:<c@example.org>"), std::string::npos);
    EXPECT_EQ(server.log.find("STARTTLS"), std::string::npos);
    EXPECT_NE(server.message.find("Subject: =?UTF-8?B?" + base64("Hello \xC3\xA9") + "?="),
              std::string::npos);
    EXPECT_NE(server.message.find("\nline one\n..dot line\n"), std::string::npos) << server.message;
    EXPECT_EQ(server.message.find("Bcc"), std::string::npos);
    // The stored password is now the encrypted form, and the plain one was never traced.
    cl::ini_file fresh;
    fresh.set_path(cl::utf8_to_utf16(ini_path_), true);
    const std::wstring stored = fresh.get_string_or(L"Param", L"smtp_password", L"");
    EXPECT_EQ(stored.size(), 48u);
    EXPECT_EQ(decrypt_hex_string(stored, "master"), L"s3cret");
    const std::string trace = sink_.text();
    EXPECT_EQ(trace.find("s3cret"), std::string::npos) << trace;
    EXPECT_NE(trace.find("smtp password encrypted\n"), std::string::npos);
    EXPECT_NE(
        trace.find("sendmail: 127.0.0.1 " + std::to_string(server.port) + " 0 me 6 (hidden)\n"),
        std::string::npos)
        << trace;
}

TEST_F(mail_fixture, SslSettingAsksForStartTlsAndInitWithoutPort) {
    {
        smtp_server server;
        settings("smtp_server=127.0.0.1\r\nsmtp_port=" + std::to_string(server.port) +
                 "\r\nsmtp_use_ssl=1\r\n");
        script s(state_);
        ASSERT_EQ(
            s.run(L"var ok = create_sendmail().send('a@example.org', 'b@example.org', 's', 'b');"),
            s_ok)
            << s.error_text();
        server.join();
        EXPECT_EQ(s.text(L"ok"), L"0");
        EXPECT_NE(server.log.find("STARTTLS"), std::string::npos) << server.log;
        EXPECT_EQ(server.log.find("MAIL FROM"), std::string::npos);
    }
    // Without a port the component is initialised with its four-argument form.
    settings("smtp_server=mail.invalid\r\nsmtp_password=" +
             cl::utf16_to_utf8(encrypt_hex_string(L"pw", "master")) + "\r\nsmtp_debugging=1\r\n");
    script s(state_);
    ASSERT_EQ(s.run(L"var m = create_sendmail();"), s_ok) << s.error_text();
    EXPECT_NE(sink_.text().find("sendmail: mail.invalid -1 0  2 (hidden)\n"), std::string::npos)
        << sink_.text();
}

// ---- server lists ----

TEST_F(objects_fixture, ServerListsAreSnapshotsAndResponseHeadersAreLive) {
    clear_blocklist();
    blocklist_add(L"/srv/secret");
    state_.headers->add("X-One", "1");
    script s(state_);
    ASSERT_EQ(s.run(L"var b = server_object('blocklist'), names = [];\n"
                    L"for (var k in b) names.push(k);\n"
                    L"var c = server_object('connections');\n var totals = c['totals'];\n"
                    L"var empty = 0; for (var k in server_object('no such list')) empty++;\n"
                    L"var refused; try { c.totals = 'x'; } catch (e) { refused = e.number; }\n"
                    L"var h = server_object('http_response_header');\n"
                    L"var one = h['X-One']; h['X-Two'] = 2; delete h['X-One'];\n"),
              s_ok)
        << s.error_text();
    clear_blocklist();
    EXPECT_EQ(s.text(L"names"), L"/srv/secret");
    EXPECT_EQ(s.text(L"totals"), L"1,2,3,4,5");
    EXPECT_EQ(s.text(L"empty"), L"0");
    EXPECT_EQ(s.global(L"refused").i4(), static_cast<int32_t>(e_notimpl));
    EXPECT_EQ(s.text(L"one"), L"1");
    EXPECT_EQ(state_.headers->get("X-Two"), "2");
    EXPECT_EQ(state_.headers->get("X-One"), "");
}

} // namespace
} // namespace objects_test
