// The queue between a page's worker and its request: a reader is woken once
// per piece, yet it never waits for an end that does not come, and the
// owner learns when the writer is done with it for good.
#include "scripting/jscript/shost_file.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

TEST(JscriptChannelHandoff, PiecesEndsAndTheWritersLastTouch) {
    // A writer that writes a little and keeps the queue open: the reader
    // still gets the bytes (a page that writes, then works, streams out).
    scripting::byte_channel c(1024);
    c.restart();
    EXPECT_EQ(c.write("abc", 3), 3u);
    char buf[4096];
    ASSERT_EQ(c.read(buf, sizeof buf), 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");

    // A reader waiting before anything came is woken by the bytes.
    std::thread late([&] { EXPECT_EQ(c.write("de", 2), 2u); });
    ASSERT_EQ(c.read(buf, sizeof buf), 2u);
    EXPECT_EQ(std::string(buf, 2), "de");
    late.join();

    // Many times the queue's size, written while read: whole and in order.
    std::string sent;
    for (int i = 0; i < 5000; ++i)
        sent += std::to_string(i) + ",";
    std::thread writer([&] {
        for (std::size_t at = 0; at < sent.size(); at += 100)
            c.write(sent.data() + at, std::min<std::size_t>(100, sent.size() - at));
        c.close_writer(false);
        c.finish();
    });
    std::string got;
    for (std::size_t n; (n = c.read(buf, sizeof buf)) > 0;)
        got.append(buf, n);
    c.wait_finished();
    writer.join();
    EXPECT_EQ(got, sent);

    // The owner waits for finish(), not for the end of the output.
    scripting::byte_channel d(64);
    d.restart();
    d.close_writer(false);
    EXPECT_EQ(d.read(buf, sizeof buf), 0u);
    std::thread finisher([&] { d.finish(); });
    d.wait_finished();
    finisher.join();
    // Never started: nothing to wait for.
    scripting::byte_channel e(64);
    e.wait_finished();
}

} // namespace
