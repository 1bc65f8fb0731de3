// Places a test input at the very end of a readable, writable mapping that is followed by an
// inaccessible page, so that reading or writing one byte past the input faults in every build.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tv {

class GuardedBuffer {
public:
    explicit GuardedBuffer(std::string_view input) noexcept : size_(input.size())
    {
        std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        data_pages_ = (size_ + page - 1) / page;
        if (data_pages_ == 0) data_pages_ = 1;
        mapping_length_ = (data_pages_ + 1) * page;
        void* mapping = mmap(nullptr, mapping_length_, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) std::abort();
        mapping_ = static_cast<char*>(mapping);
        if (mprotect(mapping_ + data_pages_ * page, page, PROT_NONE) != 0) std::abort();
        data_ = mapping_ + data_pages_ * page - size_;
        if (size_ != 0) std::memcpy(data_, input.data(), size_);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    ~GuardedBuffer() { munmap(mapping_, mapping_length_); }

    // The first byte of the input; data() + size() is the first inaccessible byte.
    char* data() const noexcept { return data_; }
    int size() const noexcept { return static_cast<int>(size_); }

private:
    std::size_t size_;
    std::size_t data_pages_ = 0;
    std::size_t mapping_length_ = 0;
    char* mapping_ = nullptr;
    char* data_ = nullptr;
};

}  // namespace tv
