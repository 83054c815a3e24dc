// The framed reads on top of the receive model: 4-byte integers, sized
// strings, and stream content in segments of 8192 bytes.
#pragma once

#include "receive_model.h"

#include <cstdint>
#include <string>

namespace tarvik::fuzz {

class FramedModel : public ReceiveModel {
public:
    using ReceiveModel::ReceiveModel;

    std::int32_t ReadInt32(std::int32_t timeout);
    std::string ReadSized(std::int32_t timeout);
    // The stream reads write into Stream, a stream that is only written to.
    void ReadStreamAll(std::int32_t timeout);
    void ReadStreamCount(std::int32_t timeout, std::int32_t count);
    void ReadStreamSized(std::int32_t timeout);
    void ReadStreamSizedNet(std::int32_t timeout);

    std::string Stream;
};

} // namespace tarvik::fuzz
