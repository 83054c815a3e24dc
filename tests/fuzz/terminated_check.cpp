#include "terminated_check.h"

#include "checking.h"
#include "receive_model.h"
#include "serial/block_serial.h"
#include "sim_port.h"

#include <algorithm>

namespace tarvik::fuzz {

namespace {

const char* const kCrLf = "\r\n";

struct CallOutcome {
    std::string Line;
    bool Raised = false;
    std::int32_t Code = 0; // of the exception, when one was raised
};

const char* CallName(TerminatedCall call)
{
    switch (call) {
    case TerminatedCall::ReadLine:
        return "ReadLine";
    case TerminatedCall::ReadUntilCrLf:
        return "ReadUntil(CR LF)";
    case TerminatedCall::ReadUntilTerminator:
        return "ReadUntil(terminator)";
    case TerminatedCall::FlipConvertThenReadLine:
        return "flip ConvertLineEnd, ReadLine";
    }
    return "?";
}

// The same call on either side; Serial is TBlockSerial or ReceiveModel, Raise
// the exception type that side raises.
template <typename Raise, typename Serial>
CallOutcome Run(Serial& serial, TerminatedCall call, const std::string& terminator,
                std::int32_t timeout)
{
    CallOutcome outcome;
    try {
        switch (call) {
        case TerminatedCall::ReadLine:
            outcome.Line = serial.ReadLine(timeout);
            break;
        case TerminatedCall::ReadUntilCrLf:
            outcome.Line = serial.ReadUntil(timeout, kCrLf);
            break;
        case TerminatedCall::ReadUntilTerminator:
            outcome.Line = serial.ReadUntil(timeout, terminator);
            break;
        case TerminatedCall::FlipConvertThenReadLine:
            serial.ConvertLineEnd = !serial.ConvertLineEnd;
            outcome.Line = serial.ReadLine(timeout);
            break;
        }
    } catch (const Raise& raised) {
        outcome.Raised = true;
        outcome.Code = raised.Code;
    }
    return outcome;
}

// Everything a call can change that later calls depend on. When a whole round
// of the call pattern leaves it as an earlier round did, the rounds after it
// repeat: time-outs once the device has nothing more to send, a zero time-out
// that never lets a delayed chunk come, an empty terminator.
struct ModelState {
    std::string LineBuffer;
    bool PendingCR;
    bool PendingLF;
    bool ConvertLineEnd;
    std::size_t Taken;
    std::int64_t NowMs;
    bool operator==(const ModelState&) const = default;
};

ModelState StateOf(const ReceiveModel& model)
{
    // With nothing more to come, the clock no longer decides anything.
    const std::int64_t now = model.Device().Exhausted() ? 0 : model.Device().NowMs();
    return {model.LineBuffer,
            model.PendingCR,
            model.PendingLF,
            model.ConvertLineEnd,
            model.Device().TakenBytes(),
            now};
}

// A backstop for the rounds: each call that is not a repeat consumes a byte
// or lets time pass.
std::size_t CallLimit(const TerminatedCase& c)
{
    std::size_t bytes = 0;
    for (const Chunk& chunk : c.Chunks)
        bytes += chunk.Bytes.size();
    return 2 * (bytes + c.Chunks.size()) + 16;
}

} // namespace

TerminatedCase DecodeTerminatedCase(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    TerminatedCase c;
    const std::uint8_t flags = in.Byte();
    c.ConvertLineEnd = (flags & 1) != 0;
    c.InterPacketTimeout = (flags & 2) != 0;
    c.RaiseExcept = (flags & 4) != 0;
    // The top sixteen values stand for -16 to -1: a limit below 0 is a setting too.
    const std::uint8_t limit = in.Byte();
    c.MaxLineLength = limit < 0xF0 ? limit : limit - 0x100;
    c.Timeout = static_cast<std::int32_t>(in.Byte() * kTimeUnitMs);
    c.Terminator = in.Bytes(in.Byte() & 3);
    const int calls = 1 + (in.Byte() & 3);
    const std::uint8_t kinds = in.Byte();
    for (int i = 0; i < calls; ++i)
        c.Calls.push_back(static_cast<TerminatedCall>(kinds >> (2 * i) & 3));
    c.Chunks = DecodeChunks(
        in, {.LengthBytes = 1, .MaxChunkSize = 255, .MaxTotal = 4096, .MaxChunks = 256});
    return c;
}

std::string CheckTerminatedReads(const std::uint8_t* data, std::size_t size)
{
    const TerminatedCase c = DecodeTerminatedCase(data, size);
    SimPort port(c.Chunks);
    if (!port.Opened())
        return "the simulated port did not open";
    TBlockSerial& serial = port.Serial();
    ReceiveModel model(c.Chunks);
    serial.ConvertLineEnd = model.ConvertLineEnd = c.ConvertLineEnd;
    serial.InterPacketTimeout = model.InterPacketTimeout = c.InterPacketTimeout;
    serial.RaiseExcept = model.RaiseExcept = c.RaiseExcept;
    serial.MaxLineLength = model.MaxLineLength = c.MaxLineLength;

    std::size_t cursor = 0;     // script bytes accounted for by earlier calls
    std::size_t modelSpent = 0; // model.Spent() after earlier calls
    // The state after each of the last two rounds: a round that flips
    // ConvertLineEnd an odd number of times repeats only every second round.
    std::vector<ModelState> rounds;
    const std::size_t limit = CallLimit(c);
    for (std::size_t i = 0; i < limit; ++i) {
        const TerminatedCall call = c.Calls[i % c.Calls.size()];
        const CallOutcome got = Run<EKorloSerError>(serial, call, c.Terminator, c.Timeout);
        const CallOutcome want = Run<ModelRaise>(model, call, c.Terminator, c.Timeout);

        Mismatch report("call " + std::to_string(i) + ", " + CallName(call) + ":");
        report.Field("line", want.Line, got.Line);
        report.Field("LastErrorCode", model.LastErrorCode, serial.LastErrorCode());
        report.Field("raised", want.Raised, got.Raised);
        report.Field("code raised", want.Code, got.Code);
        report.Field("LineBuffer", model.LineBuffer, serial.LineBuffer);
        report.Field("PendingCR", model.PendingCR, serial.PendingCR());
        report.Field("PendingLF", model.PendingLF, serial.PendingLF());
        report.Field("bytes read from the device", model.Device().TakenBytes(), port.TakenBytes());
        report.Field("clock (ms)", model.Device().NowMs(), port.NowMs());

        std::string problem;
        const auto consumed =
            ConsumedSince(port.Script(), cursor, port.TakenBytes(), serial.LineBuffer, problem);
        if (!consumed)
            return report.Text() + "\n  " + problem;
        // The model's own account of the lines, line ends and dropped bytes
        // must cover exactly the bytes the component consumed, in order.
        report.Field("bytes consumed", model.Spent().substr(modelSpent), *consumed);
        if (report.Any())
            return report.Text();
        cursor += consumed->size();
        modelSpent = model.Spent().size();

        port.ForgetCalls();
        if ((i + 1) % c.Calls.size() == 0) {
            const ModelState state = StateOf(model);
            if (std::find(rounds.begin(), rounds.end(), state) != rounds.end())
                break;
            rounds.push_back(state);
            if (rounds.size() > 2)
                rounds.erase(rounds.begin());
        }
    }
    if (model.Spent() + model.LineBuffer != port.Script().substr(0, model.Device().TakenBytes()))
        return "the model lost track of bytes";
    return {};
}

} // namespace tarvik::fuzz
