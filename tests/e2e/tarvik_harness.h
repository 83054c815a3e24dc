// Runs the real tarvik against the real tarvik-modem: a fresh port map
// folder per test, the modem linked into it, tarvik pointed at it.
#pragma once

#include "support/temp_dir.h"

#include "e2e/child_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::e2e {

// Past this a run counts as hung: it is killed and the test fails.
inline constexpr Millis kRunLimit{10000};

// $TARVIK_BIN_DIR/console/tarvik and $TARVIK_BIN_DIR/tools/tarvik-modem.
std::filesystem::path TarvikBinary();
std::filesystem::path ModemBinary();

using testsupport::TempDir;

// tarvik-modem as COM<number> in `portsDir`, answering by the rules of
// `script` when one is given. Started and ready when constructed (throws
// otherwise), stopped when destroyed.
class VirtualModem {
public:
    VirtualModem(const std::filesystem::path& portsDir, int number,
                 const std::optional<std::string>& script);
    VirtualModem(const VirtualModem&) = delete;
    VirtualModem& operator=(const VirtualModem&) = delete;
    ~VirtualModem();

    // The pseudo-terminal the link points at.
    const std::string& Device() const { return device_; }

private:
    TempDir scriptDir_;
    std::unique_ptr<ChildProcess> process_;
    std::string device_;
};

class TarvikTest : public ::testing::Test {
protected:
    // The modem as COM1, the port every test answers with.
    void StartModem(const std::optional<std::string>& script = std::nullopt);
    const std::string& ModemDevice() const { return modem_->Device(); }

    // tarvik with the test's port map, for tests that pace their input.
    std::unique_ptr<ChildProcess> StartTarvik() const;
    // tarvik fed `input` all at once, then the end of input.
    RunResult RunTarvik(std::string_view input) const;

    TempDir ports_;
    std::unique_ptr<VirtualModem> modem_;
};

// A plain modem (no script) is all these tests need.
class PlainModemTest : public TarvikTest {
protected:
    void SetUp() override { StartModem(); }
};

// Names each case of a parameter table after its `name` field.
struct NamedCase {
    template <class Case> std::string operator()(const ::testing::TestParamInfo<Case>& param) const
    {
        return param.param.name;
    }
};

::testing::AssertionResult ExitedWith(const RunResult& run, int status);

// The report of an error that ended the run: the exception line with an
// address of 8 upper-case hex digits, `message`, then one more line end.
::testing::AssertionResult IsErrorReport(const std::string& err, std::string_view message);

} // namespace tarvik::e2e
