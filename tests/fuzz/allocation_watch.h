// Watches the sizes that operator new is asked for while a read runs, so a
// check can tell a read that sizes its memory by the bytes that arrived from
// one that trusts a length from the wire. The program that links this file
// replaces the global operator new and delete.
#pragma once

#include <cstddef>

namespace tarvik::fuzz {

class AllocationWatch {
public:
    AllocationWatch();
    ~AllocationWatch();
    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;

    // The largest single request since the watch began.
    std::size_t Largest() const;
};

} // namespace tarvik::fuzz
