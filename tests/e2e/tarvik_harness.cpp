#include "e2e/tarvik_harness.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace tarvik::e2e {
namespace {

std::filesystem::path BinaryDir()
{
    const char* dir = std::getenv("TARVIK_BIN_DIR");
    if (dir == nullptr || *dir == '\0')
        throw std::runtime_error("TARVIK_BIN_DIR is not set: it names the build folder");
    return dir;
}

bool IsUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

} // namespace

std::filesystem::path TarvikBinary()
{
    return BinaryDir() / "console" / "tarvik";
}

std::filesystem::path ModemBinary()
{
    return BinaryDir() / "tools" / "tarvik-modem";
}

VirtualModem::VirtualModem(const std::filesystem::path& portsDir, int number,
                           const std::optional<std::string>& script)
{
    const std::string name = "COM" + std::to_string(number);
    std::vector<std::string> arguments{"--name", name, "--ports", portsDir.string()};
    if (script) {
        const std::filesystem::path file = scriptDir_.Path() / "modem.script";
        std::ofstream out(file, std::ios::binary);
        out << *script;
        out.close();
        if (!out)
            throw std::runtime_error("cannot write " + file.string());
        arguments.insert(arguments.end(), {"--script", file.string()});
    }
    process_ = std::make_unique<ChildProcess>(ModemBinary(), arguments);
    const std::string ready = process_->WaitForLine(Millis(5000));
    const std::string expected = "ready " + name + " ";
    if (!ready.starts_with(expected)) {
        throw std::runtime_error("tarvik-modem did not get ready: \"" + ready + "\", stderr \"" +
                                 process_->Errors() + "\"");
    }
    device_ = ready.substr(expected.size());
}

VirtualModem::~VirtualModem()
{
    // A stop signal lets it remove its link before the folder goes.
    process_->Stop(SIGTERM, Millis(2000));
}

void TarvikTest::StartModem(const std::optional<std::string>& script)
{
    modem_ = std::make_unique<VirtualModem>(ports_.Path(), 1, script);
}

std::unique_ptr<ChildProcess> TarvikTest::StartTarvik() const
{
    return std::make_unique<ChildProcess>(
        TarvikBinary(), std::vector<std::string>{},
        std::vector<std::string>{"TARVIK_PORTS=" + ports_.Path().string()});
}

RunResult TarvikTest::RunTarvik(std::string_view input) const
{
    const auto tarvik = StartTarvik();
    // A run that ends early stops reading; what it printed is what counts.
    tarvik->Send(input);
    return tarvik->Finish(kRunLimit);
}

::testing::AssertionResult ExitedWith(const RunResult& run, int status)
{
    if (!run.hitLimit && run.signal == 0 && run.status == status)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "expected exit status " << status << ", but it " << run.Describe();
}

::testing::AssertionResult IsErrorReport(const std::string& err, std::string_view message)
{
    const std::string head = "Exception EKorloSerError in module tarvik at ";
    const std::string tail = ".\r\n" + std::string(message) + "\r\n\r\n";
    const std::size_t addressSize = 8;
    bool matches = err.size() == head.size() + addressSize + tail.size() && err.starts_with(head) &&
                   err.ends_with(tail);
    for (std::size_t i = 0; matches && i < addressSize; ++i)
        matches = IsUpperHex(err[head.size() + i]);
    if (matches)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "stderr is \"" << err << "\", expected \"" << head << "XXXXXXXX" << tail << "\"";
}

} // namespace tarvik::e2e
