#include "framed_check.h"

#include "allocation_watch.h"
#include "checking.h"
#include "framed_model.h"
#include "serial/block_serial.h"
#include "serial/serial_stream.h"
#include "sim_port.h"

namespace tarvik::fuzz {

namespace {

constexpr int kCallKinds = 6;

struct StepOutcome {
    std::int32_t Value = 0;
    std::string Payload;
    bool Raised = false;
    std::int32_t Code = 0; // of the exception, when one was raised
};

const char* CallName(FramedCall call)
{
    switch (call) {
    case FramedCall::ReadInt32:
        return "ReadInt32";
    case FramedCall::ReadSized:
        return "ReadSized";
    case FramedCall::ReadStreamSized:
        return "ReadStreamSized";
    case FramedCall::ReadStreamSizedNet:
        return "ReadStreamSizedNet";
    case FramedCall::ReadStreamCount:
        return "ReadStreamCount";
    case FramedCall::ReadStreamAll:
        return "ReadStreamAll";
    }
    return "?";
}

StepOutcome RunComponent(TBlockSerial& serial, TMemoryStream& stream, const FramedStep& step,
                         std::int32_t timeout)
{
    StepOutcome outcome;
    try {
        switch (step.Call) {
        case FramedCall::ReadInt32:
            outcome.Value = serial.ReadInt32(timeout);
            break;
        case FramedCall::ReadSized:
            outcome.Payload = serial.ReadSized(timeout);
            break;
        case FramedCall::ReadStreamSized:
            serial.ReadStreamSized(stream, timeout);
            break;
        case FramedCall::ReadStreamSizedNet:
            serial.ReadStreamSizedNet(stream, timeout);
            break;
        case FramedCall::ReadStreamCount:
            serial.ReadStreamCount(stream, timeout, step.Count);
            break;
        case FramedCall::ReadStreamAll:
            serial.ReadStreamAll(stream, timeout);
            break;
        }
    } catch (const EKorloSerError& raised) {
        outcome.Raised = true;
        outcome.Code = raised.Code;
    }
    return outcome;
}

StepOutcome RunModel(FramedModel& model, const FramedStep& step, std::int32_t timeout)
{
    StepOutcome outcome;
    try {
        switch (step.Call) {
        case FramedCall::ReadInt32:
            outcome.Value = model.ReadInt32(timeout);
            break;
        case FramedCall::ReadSized:
            outcome.Payload = model.ReadSized(timeout);
            break;
        case FramedCall::ReadStreamSized:
            model.ReadStreamSized(timeout);
            break;
        case FramedCall::ReadStreamSizedNet:
            model.ReadStreamSizedNet(timeout);
            break;
        case FramedCall::ReadStreamCount:
            model.ReadStreamCount(timeout, step.Count);
            break;
        case FramedCall::ReadStreamAll:
            model.ReadStreamAll(timeout);
            break;
        }
    } catch (const ModelRaise& raised) {
        outcome.Raised = true;
        outcome.Code = raised.Code;
    }
    return outcome;
}

} // namespace

std::size_t AllocationBound(std::size_t arrivedBytes)
{
    return 2 * arrivedBytes + 3 * 8192;
}

FramedCase DecodeFramedCase(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    FramedCase c;
    const std::uint8_t flags = in.Byte();
    c.InterPacketTimeout = (flags & 1) != 0;
    c.RaiseExcept = (flags & 2) != 0;
    c.Timeout = static_cast<std::int32_t>(in.Byte() * kTimeUnitMs);
    const int steps = 1 + in.Byte() % 8;
    for (int i = 0; i < steps; ++i) {
        FramedStep step{static_cast<FramedCall>(in.Byte() % kCallKinds)};
        if (step.Call == FramedCall::ReadStreamCount)
            step.Count = in.Int32();
        c.Steps.push_back(step);
    }
    c.Chunks = DecodeChunks(
        in, {.LengthBytes = 2, .MaxChunkSize = 20000, .MaxTotal = 65536, .MaxChunks = 64});
    return c;
}

std::string CheckFramedReads(const std::uint8_t* data, std::size_t size)
{
    const FramedCase c = DecodeFramedCase(data, size);
    SimPort port(c.Chunks);
    if (!port.Opened())
        return "the simulated port did not open";
    TBlockSerial& serial = port.Serial();
    FramedModel model(c.Chunks);
    serial.InterPacketTimeout = model.InterPacketTimeout = c.InterPacketTimeout;
    serial.RaiseExcept = model.RaiseExcept = c.RaiseExcept;
    TMemoryStream stream;

    std::size_t cursor = 0;
    std::size_t modelSpent = 0;
    for (std::size_t i = 0; i < c.Steps.size(); ++i) {
        const FramedStep& step = c.Steps[i];
        StepOutcome got;
        std::size_t largest = 0;
        {
            const AllocationWatch watch;
            got = RunComponent(serial, stream, step, c.Timeout);
            largest = watch.Largest();
        }
        const StepOutcome want = RunModel(model, step, c.Timeout);

        std::string where = "step " + std::to_string(i) + ", " + CallName(step.Call);
        if (step.Call == FramedCall::ReadStreamCount)
            where += "(" + std::to_string(step.Count) + ")";
        Mismatch report(where + ":");
        report.Field("value", want.Value, got.Value);
        report.Field("payload", want.Payload, got.Payload);
        report.Field("LastErrorCode", model.LastErrorCode, serial.LastErrorCode());
        report.Field("raised", want.Raised, got.Raised);
        report.Field("code raised", want.Code, got.Code);
        report.Field("LineBuffer", model.LineBuffer, serial.LineBuffer);
        report.Field("stream", model.Stream, stream.Bytes());
        report.Field("stream position", std::int64_t(model.Stream.size()), stream.Position());
        report.Field("bytes read from the device", model.Device().TakenBytes(), port.TakenBytes());
        report.Field("clock (ms)", model.Device().NowMs(), port.NowMs());
        if (largest > AllocationBound(port.TakenBytes()))
            return report.Text() + "\n  asked for " + std::to_string(largest) +
                   " bytes at once with " + std::to_string(port.TakenBytes()) + " bytes arrived";

        std::string problem;
        const auto consumed =
            ConsumedSince(port.Script(), cursor, port.TakenBytes(), serial.LineBuffer, problem);
        if (!consumed)
            return report.Text() + "\n  " + problem;
        report.Field("bytes consumed", model.Spent().substr(modelSpent), *consumed);
        if (report.Any())
            return report.Text();
        cursor += consumed->size();
        modelSpent = model.Spent().size();
        port.ForgetCalls();
    }
    if (model.Spent() + model.LineBuffer != port.Script().substr(0, model.Device().TakenBytes()))
        return "the model lost track of bytes";
    return {};
}

} // namespace tarvik::fuzz
