// Log lines carry syslog priorities exactly while stderr is the journal's
// stream, as JOURNAL_STREAM (device:inode of that stream) tells.
#if !defined(_WIN32)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "service/lifecycle.h"
#include "service/log.h"
#include "tests/service/test_files.h"

namespace taskd::test {
namespace {

// Writes one line of each level with stderr going to a file whose device and
// inode JOURNAL_STREAM names (or a neighbour's inode, or nothing); the lines.
std::vector<std::string> LogLines(const char *journal_stream_kind) {
    const std::string dir = NewTempDir("journal");
    const std::string path = dir + "/stderr";
    std::fflush(stderr);
    const int saved = ::dup(2);
    std::FILE *f = std::fopen(path.c_str(), "w");
    ::dup2(::fileno(f), 2);
    struct stat st {};
    ::fstat(2, &st);
    const std::string kind = journal_stream_kind;
    if (kind == "none") {
        ::unsetenv("JOURNAL_STREAM");
    } else {
        const unsigned long long ino = st.st_ino + (kind == "other" ? 1 : 0);
        ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(ino)).c_str(), 1);
    }
    lifecycle::DetectJournal();
    log::SetLevel(log::Level::Debug);
    log::Error("e");
    log::Warning("w");
    log::Info("i");
    log::Debug("d");
    log::SetLevel(log::Level::Info);
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::fclose(f);
    ::unsetenv("JOURNAL_STREAM");
    lifecycle::DetectJournal();

    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::filesystem::remove_all(dir);
    return lines;
}

TEST(JournalPriorities, OnlyWhileStderrIsTheJournalsStream) {
    const auto journal = LogLines("same");
    ASSERT_EQ(journal.size(), 4u);
    const char *expected[][2] = {{"<3>", " error e"}, {"<4>", " warning w"}, {"<6>", " info i"}, {"<7>", " debug d"}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(journal[i].substr(0, 3), expected[i][0]) << journal[i];
        EXPECT_NE(journal[i].find(expected[i][1]), std::string::npos) << journal[i];
    }
    for (const char *kind : {"other", "none"}) {
        for (const std::string &line : LogLines(kind)) EXPECT_NE(line.front(), '<') << kind << ": " << line;
    }
}

} // namespace
} // namespace taskd::test
#endif
