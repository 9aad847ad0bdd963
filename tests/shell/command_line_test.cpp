#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The switches expected on: d "-d", p "-publish", e script debugging,
// u "-dump_request_body", s "-start_service", t "-stop_service",
// v "-service", m "-mbox".
struct switch_case {
    const wchar_t* line;
    ending_switch ending;
    const char* on;
};

const switch_case cases[] = {
    {L"teskqvel", ending_switch::none, ""},
    {L"teskqvel -d", ending_switch::close_running, "d"},
    {L"teskqvel -D", ending_switch::close_running, "d"},
    // "-d" is not found inside a longer switch.
    {L"teskqvel -dump_request_body", ending_switch::none, "u"},
    {L"teskqvel -dump_request_body -d", ending_switch::close_running, "du"},
    // A switch must start the text or follow white space.
    {L"/opt/x-d/teskqvel", ending_switch::none, ""},
    {L"-d", ending_switch::close_running, "d"},
    {L"teskqvel -publish /tmp/a.txt -service", ending_switch::publish, "pv"},
    {L"teskqvel -service -publish /tmp/a.txt", ending_switch::publish, "pv"},
    {L"teskqvel -stop_service -start_service", ending_switch::start_service, "st"},
    {L"teskqvel -start_service -stop_service", ending_switch::start_service, "st"},
    {L"teskqvel -stop_service", ending_switch::stop_service, "t"},
    // "-service" is not found inside "-start_service" or "-stop_service".
    {L"teskqvel -start_service", ending_switch::start_service, "s"},
    {L"teskqvel -service", ending_switch::none, "v"},
    {L"teskqvel -esd", ending_switch::none, "e"},
    {L"teskqvel -Enable_Script_Debugging", ending_switch::none, "e"},
    // A switch must not be followed by a letter.
    {L"teskqvel -esdx", ending_switch::none, ""},
    {L"teskqvel\t-mbox -publish x", ending_switch::publish, "mp"},
    // "-d" is tested before every other switch that ends the program.
    {L"teskqvel -publish x -d -start_service", ending_switch::close_running, "dps"},
};

bool on(const switch_case& c, char flag) {
    return std::strchr(c.on, flag) != nullptr;
}

} // namespace

TEST(CommandLine, SwitchesAndTheOneThatEndsTheProgram) {
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        const command_switches s = parse_switches(c.line);
        EXPECT_EQ(first_ending_switch(s), c.ending);
        EXPECT_EQ(s.close_running, on(c, 'd'));
        EXPECT_EQ(s.publish, on(c, 'p'));
        EXPECT_EQ(s.script_debugging, on(c, 'e'));
        EXPECT_EQ(s.dump_request_body, on(c, 'u'));
        EXPECT_EQ(s.start_service, on(c, 's'));
        EXPECT_EQ(s.stop_service, on(c, 't'));
        EXPECT_EQ(s.service, on(c, 'v'));
        EXPECT_EQ(s.mbox, on(c, 'm'));
    }
}

TEST(CommandLine, JoinsArgumentsWithBlanksAndTakesTheTextAfterPublish) {
    const char* argv[] = {"/usr/bin/teskqvel", "-publish", "/srv/a b.txt"};
    const std::wstring line = join_command_line(3, argv);
    EXPECT_EQ(line, L"/usr/bin/teskqvel -publish /srv/a b.txt");
    EXPECT_EQ(parse_switches(line).publish_text, L"/srv/a b.txt");
    EXPECT_EQ(switch_text(L"p -publish   x", L"-publish"), L"x");
    EXPECT_EQ(switch_text(L"p -service", L"-publish"), L"");
    // Arguments arrive as UTF-8 and become one character each.
    const char* utf8[] = {"p", "\xC3\xA4"};
    EXPECT_EQ(join_command_line(2, utf8), L"p \u00e4");
}
