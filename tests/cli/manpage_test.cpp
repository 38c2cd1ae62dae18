// The manual page of varnesk-cli and its --help, kept in step with the one
// option table: an option added, renamed or dropped in one place but not the
// other fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "cli/options.h"

namespace varnesk::cli {
namespace {

std::string ReadPage(const char* name) {
    std::ifstream in(std::string(VARNESK_SOURCE_DIR) + "/dist/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// roff writes a hyphen that must stay one as "\-".
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '-') out += '\\';
        out += c;
    }
    return out;
}

std::string Unroff(const std::string& page) { return std::regex_replace(page, std::regex(R"(\\-)"), "-"); }

// The text of one section, from its .SH line to the next.
std::string Section(const std::string& page, const std::string& title) {
    const size_t start = page.find("\n.SH " + title + "\n");
    if (start == std::string::npos) return {};
    const size_t end = page.find("\n.SH ", start + 1);
    return page.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool Mentions(const std::string& text, const std::string& name) {
    // Not a prefix of a longer option ("--log" inside "--logfile").
    const std::regex word("(^|[^-a-z\\\\])" + std::regex_replace(name, std::regex(R"([\\-])"), R"(\$&)") +
                          R"(($|[^a-z\\]|\\[^-]))");
    return std::regex_search(text, word);
}

TEST(ManualPage, NamesEveryOptionAndCommandOfTheTable) {
    const std::string page = ReadPage("varnesk-cli.1");
    ASSERT_FALSE(page.empty()) << "dist/varnesk-cli.1 is missing";
    const std::string options = Section(page, "OPTIONS");
    ASSERT_FALSE(options.empty());
    for (const std::string& name : OptionNames()) {
        EXPECT_TRUE(Mentions(options, Roff(name))) << name << " is not in OPTIONS";
        EXPECT_TRUE(Mentions(UsageText(), name)) << name << " is not in the help";
    }
    const std::string synopsis = Section(page, "SYNOPSIS");
    const std::string commands = Section(page, "COMMANDS");
    for (const std::string& command : CommandNames()) {
        EXPECT_NE(synopsis.find(".B varnesk\\-cli " + Roff(command) + "\n"), std::string::npos) << command;
        EXPECT_NE(commands.find("\n.B " + Roff(command) + "\n"), std::string::npos) << command;
        EXPECT_NE(std::string(UsageText()).find("varnesk-cli " + command + " "), std::string::npos) << command;
    }
}

TEST(ManualPage, NamesNoOptionOrCommandTheProgramLacks) {
    const std::string page = Unroff(ReadPage("varnesk-cli.1"));
    const std::vector<std::string> names = OptionNames();
    const std::set<std::string> known(names.begin(), names.end());
    const std::regex longOption("--[a-z][a-z-]*[a-z]");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), longOption); it != std::sregex_iterator(); ++it)
        EXPECT_TRUE(known.count(it->str())) << it->str() << " is in the page but not in the option table";

    // Every item of COMMANDS is a command the parser takes.
    const std::string commands = Section(page, "COMMANDS");
    const std::regex item("\n\\.TP\n\\.B ([a-z-]+)\n");
    int seen = 0;
    for (auto it = std::sregex_iterator(commands.begin(), commands.end(), item); it != std::sregex_iterator(); ++it) {
        const std::string name = (*it)[1];
        const char* argv[] = {"varnesk-cli", name.c_str()};
        const CliParse parse = ParseCommandLine(2, argv);
        EXPECT_EQ(parse.error.find("unknown command"), std::string::npos) << name;
        ++seen;
    }
    EXPECT_EQ(seen, static_cast<int>(CommandNames().size()));
}

TEST(ManualPage, ExitStatusesAndVersionMatchTheProgram) {
    for (const char* name : {"varnesk-cli.1", "varnesk.1"}) {
        const std::string page = ReadPage(name);
        ASSERT_FALSE(page.empty()) << name;
        // The version of the page's header is the program's.
        const std::string version = std::string(kVersionText).substr(std::string("varnesk-cli ").size(), 3);
        EXPECT_NE(page.substr(0, page.find('\n')).find("\"Varnesk " + version + "\""), std::string::npos) << name;
        EXPECT_FALSE(Section(page, "EXIT STATUS").empty()) << name;
        EXPECT_FALSE(Section(page, "FILES").empty()) << name;
    }
    const std::string status = Section(ReadPage("varnesk-cli.1"), "EXIT STATUS");
    for (const char* code : {"\n.B 0\n", "\n.B 1\n", "\n.B 2\n"}) EXPECT_NE(status.find(code), std::string::npos) << code;
    const std::string help = UsageText();
    for (const char* code : {"  0  ", "  1  ", "  2  "}) EXPECT_NE(help.find(code), std::string::npos) << code;
}

}  // namespace
}  // namespace varnesk::cli
