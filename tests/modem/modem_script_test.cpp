#include "tools/virtual_modem/modem_script.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvik::modem {
namespace {

using Kind = ScriptAction::Kind;

TEST(ModemScriptTest, ParsesRulesWithTheirActionsInOrder)
{
    const auto rules = ParseScript("# split answer with odd line ends\n"
                                   "on ATI\n"
                                   "  send \"ATI\\r\"\n"
                                   "  pause 50\n"
                                   "\n"
                                   "\tsend \" modem\\n\\rOK\\r\"\n"
                                   "on ATX\n"
                                   "silent\n"
                                   "   # an indented comment\n"
                                   "on ATH\n"
                                   "  send \"NO\"\n"
                                   "  hangup\n"
                                   "on AT&V\n"
                                   "  once\n"
                                   "  echo\n"
                                   "  hayes\n");
    ASSERT_EQ(rules.size(), 4u);

    EXPECT_EQ(rules[0].command, "ATI");
    EXPECT_FALSE(rules[0].matchesAnyLine);
    EXPECT_FALSE(rules[0].once);
    ASSERT_EQ(rules[0].actions.size(), 3u);
    EXPECT_EQ(rules[0].actions[0].kind, Kind::Send);
    EXPECT_EQ(rules[0].actions[0].bytes, "ATI\r");
    EXPECT_EQ(rules[0].actions[1].kind, Kind::Pause);
    EXPECT_EQ(rules[0].actions[1].milliseconds, 50);
    EXPECT_EQ(rules[0].actions[2].bytes, " modem\n\rOK\r");

    ASSERT_EQ(rules[1].actions.size(), 1u);
    EXPECT_EQ(rules[1].actions[0].kind, Kind::Silent);

    ASSERT_EQ(rules[2].actions.size(), 2u);
    EXPECT_EQ(rules[2].actions[1].kind, Kind::Hangup);

    EXPECT_EQ(rules[3].command, "AT&V");
    EXPECT_TRUE(rules[3].once);
    ASSERT_EQ(rules[3].actions.size(), 2u);
    EXPECT_EQ(rules[3].actions[0].kind, Kind::Echo);
    EXPECT_EQ(rules[3].actions[1].kind, Kind::Hayes);
}

TEST(ModemScriptTest, DecodesEscapesInSentBytes)
{
    const auto rules = ParseScript("on X\nsend \"a\\r\\n\\t\\\\\\\"\\x41\\x7f\\x00z\\xFf\"\n");
    ASSERT_EQ(rules.size(), 1u);
    ASSERT_EQ(rules[0].actions.size(), 1u);
    EXPECT_EQ(rules[0].actions[0].bytes, std::string("a\r\n\t\\\"A\x7f\0z\xff", 11));
}

TEST(ModemScriptTest, CommandTextForms)
{
    // Windows line ends and trailing blanks do not become part of a command;
    // quotes keep blanks, an empty line and a literal star.
    const auto rules = ParseScript("on   AT+CSQ  \r\n"
                                   "on *\n"
                                   "on \"*\"\n"
                                   "on \" AT \"\n"
                                   "on \"\"\n"
                                   "on at i\n"
                                   "on on\n");
    ASSERT_EQ(rules.size(), 7u);
    EXPECT_EQ(rules[0].command, "AT+CSQ");
    EXPECT_TRUE(rules[1].matchesAnyLine);
    EXPECT_FALSE(rules[2].matchesAnyLine);
    EXPECT_EQ(rules[2].command, "*");
    EXPECT_EQ(rules[3].command, " AT ");
    EXPECT_EQ(rules[4].command, "");
    EXPECT_FALSE(rules[4].matchesAnyLine);
    EXPECT_EQ(rules[5].command, "at i");
    EXPECT_EQ(rules[6].command, "on");
    for (const ScriptRule& rule : rules) {
        EXPECT_TRUE(rule.actions.empty());
    }
}

TEST(ModemScriptTest, EmptyTextHasNoRules)
{
    EXPECT_TRUE(ParseScript("").empty());
    EXPECT_TRUE(ParseScript("# nothing\n\n   \n").empty());
}

struct SyntaxCase {
    const char* text;
    int line;
    const char* messagePart;
};

TEST(ModemScriptTest, ReportsTheLineOfTheFirstError)
{
    const SyntaxCase cases[] = {
        {"send \"x\"\n", 1, "before the first 'on'"},
        {"# intro\n\n  pause 5\non AT\n", 3, "before the first 'on'"},
        {"on AT\n  sned \"x\"\n", 2, "unknown action 'sned'"},
        {"on AT\nsend x\n", 2, "double quotes"},
        {"on AT\nsend\n", 2, "double quotes"},
        {"on AT\nsend \"abc\n", 2, "missing closing quote"},
        {"on AT\nsend \"abc\\\"\n", 2, "missing closing quote"},
        {"on AT\nsend \"a\" \"b\"\n", 2, "after the closing quote"},
        {"on AT\nsend \"\\q\"\n", 2, "unknown escape \\q"},
        {"on AT\nsend \"\\x4\"\n", 2, "two hex digits"},
        {"on AT\nsend \"\\xg0\"\n", 2, "two hex digits"},
        {"on AT\n\n\npause\n", 4, "milliseconds"},
        {"on AT\npause -5\n", 2, "milliseconds"},
        {"on AT\npause 10ms\n", 2, "milliseconds"},
        {"on AT\npause 60001\n", 2, "longer than 60000"},
        {"on AT\npause 99999999999999999999\n", 2, "longer than 60000"},
        {"on AT\nsilent now\n", 2, "silent takes no argument"},
        {"on AT\nhangup 1\n", 2, "hangup takes no argument"},
        {"on AT\nonce more\n", 2, "once takes no argument"},
        {"on\n", 1, "command line to match"},
        {"on AT\non \"AT\n", 2, "missing closing quote"},
        {"ON AT\n", 1, "'ON' comes before"},
        {"on AT\nSEND \"x\"\n", 2, "unknown action 'SEND'"},
    };
    for (const SyntaxCase& c : cases) {
        try {
            ParseScript(c.text);
            ADD_FAILURE() << "no error for: " << c.text;
        } catch (const ScriptSyntaxError& error) {
            EXPECT_EQ(error.Line(), c.line) << c.text;
            EXPECT_NE(error.Message().find(c.messagePart), std::string::npos)
                << c.text << " gave: " << error.Message();
            EXPECT_EQ(std::string(error.what()),
                      "line " + std::to_string(c.line) + ": " + error.Message());
        }
    }
}

} // namespace
} // namespace tarvik::modem
