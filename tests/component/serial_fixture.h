// A TBlockSerial over the simulated device COM3, with its notifications recorded.
#pragma once

#include "platform/sim/sim_comm.h"
#include "serial/block_serial.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace tarvik::testing {

struct Notification {
    THookSerialReason Reason;
    std::string Value;
    bool operator==(const Notification&) const = default;
};

class SerialFixture : public ::testing::Test {
protected:
    static constexpr const char* kPath = "\\\\.\\COM3";
    static constexpr std::uint64_t kClockStartNs = 500'000;
    static constexpr std::uint64_t kMs = 1'000'000;

    SerialFixture() : device(api.AddDevice(kPath))
    {
        // Half a millisecond into the clock, so that whole-millisecond steps
        // never sit on the edge of the tick's truncation.
        api.SetNowNs(kClockStartNs);
        serial.OnStatus = [this](TBlockSerial& sender, THookSerialReason reason,
                                 const std::string& value) {
            EXPECT_EQ(&sender, &serial);
            notes.push_back({reason, value});
        };
    }

    // Opens COM3 and forgets what opening did, so a test sees only its own calls.
    void OpenPort()
    {
        serial.Open("COM3");
        ASSERT_TRUE(serial.PortOpen()) << serial.LastErrorText();
        api.ClearCalls();
        notes.clear();
    }

    std::vector<Notification> NotesOf(THookSerialReason reason) const
    {
        std::vector<Notification> found;
        for (const auto& note : notes)
            if (note.Reason == reason)
                found.push_back(note);
        return found;
    }

    // Declared before serial: its destructor still notifies.
    std::vector<Notification> notes;
    sim::SimCommApi api;
    sim::SimDevice& device;
    TBlockSerial serial{api};
};

} // namespace tarvik::testing
