// The byte stream interface that native objects hand each other (images,
// output buffers).
#pragma once
#include "platform/automation/unknown.h"

namespace automation {

constexpr uint32_t stream_seek_set = 0;
constexpr uint32_t stream_seek_cur = 1;
constexpr uint32_t stream_seek_end = 2;

struct statstg {
    uint64_t size = 0;
};

struct isequentialstream_i : iunknown_i {
    virtual hresult read(void* buffer, uint32_t count, uint32_t* done) = 0;
    virtual hresult write(const void* buffer, uint32_t count, uint32_t* done) = 0;

  protected:
    ~isequentialstream_i() = default;
};

struct istream_i : isequentialstream_i {
    virtual hresult seek(int64_t offset, uint32_t origin, uint64_t* new_position) = 0;
    virtual hresult set_size(uint64_t size) = 0;
    virtual hresult copy_to(istream_i* target, uint64_t count, uint64_t* read,
                            uint64_t* written) = 0;
    virtual hresult commit(uint32_t flags) = 0;
    virtual hresult revert() = 0;
    virtual hresult lock_region(uint64_t offset, uint64_t count, uint32_t type) = 0;
    virtual hresult unlock_region(uint64_t offset, uint64_t count, uint32_t type) = 0;
    virtual hresult stat(statstg* out, uint32_t flags) = 0;
    virtual hresult clone(istream_i** out) = 0;

  protected:
    ~istream_i() = default;
};

} // namespace automation
