// Replays the fuzz corpus through the same checks the fuzzers run, one test
// per file, so that every input the fuzzers found stays fixed in the suite.
#include "allocation_watch.h"
#include "framed_check.h"
#include "terminated_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tarvik::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> CorpusOf(const char* target)
{
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(TARVIK_FUZZ_CORPUS) / target, error))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string Contents(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string NameOf(const ::testing::TestParamInfo<fs::path>& info)
{
    std::string name = info.param.filename().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

using Check = std::string (*)(const std::uint8_t*, std::size_t);

void Replay(const fs::path& path, Check check)
{
    const std::string bytes = Contents(path);
    ASSERT_FALSE(bytes.empty()) << path << " is empty or unreadable";
    EXPECT_EQ(check(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "") << path;
}

class TerminatedCorpus : public ::testing::TestWithParam<fs::path> {};

TEST_P(TerminatedCorpus, MatchesTheModel)
{
    Replay(GetParam(), CheckTerminatedReads);
}

INSTANTIATE_TEST_SUITE_P(Corpus, TerminatedCorpus, ::testing::ValuesIn(CorpusOf("terminated")),
                         NameOf);

class FramedCorpus : public ::testing::TestWithParam<fs::path> {};

TEST_P(FramedCorpus, MatchesTheModel)
{
    Replay(GetParam(), CheckFramedReads);
}

INSTANTIATE_TEST_SUITE_P(Corpus, FramedCorpus, ::testing::ValuesIn(CorpusOf("framed")), NameOf);

// The memory bound is only worth something if the watch sees requests.
TEST(AllocationWatchTest, SeesTheLargestRequestWhileItWatches)
{
    std::size_t largest = 0;
    {
        const AllocationWatch watch;
        std::string text;
        text.reserve(1u << 20);
        largest = watch.Largest();
        EXPECT_GE(text.capacity(), std::size_t{1} << 20);
    }
    EXPECT_GE(largest, std::size_t{1} << 20);
    EXPECT_GT(largest, AllocationBound(1000));
}

} // namespace
} // namespace tarvik::fuzz
