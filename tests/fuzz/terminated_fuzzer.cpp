// libFuzzer entry for the terminated reads: any difference from the model is a crash.
#include "terminated_check.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string failure = tarvik::fuzz::CheckTerminatedReads(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
