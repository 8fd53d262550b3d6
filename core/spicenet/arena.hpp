// Memory of the native import: an allocator for standard containers and a
// text arena, both on the runtime's allocator, so that the memory the import
// holds is the runtime's to see (tracemalloc counts it) and freed at the end
// of the import.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace spicenet {

// Standard allocator on PyMem_Malloc; used with the GIL held.
template <class T>
struct PyAllocator {
    using value_type = T;
    PyAllocator() noexcept = default;
    template <class U>
    PyAllocator(const PyAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) throw std::bad_alloc();
        void* p = PyMem_Malloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { PyMem_Free(p); }

    template <class U>
    bool operator==(const PyAllocator<U>&) const noexcept { return true; }
};

template <class T>
using PyVector = std::vector<T, PyAllocator<T>>;

// Copies of texts that must outlive the buffer they were read from. Texts are
// never moved once stored, so views into them stay valid until the arena goes.
class TextArena {
  public:
    TextArena() = default;
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;
    ~TextArena() {
        for (char* block : blocks_) PyMem_Free(block);
    }

    std::string_view store(std::string_view s) {
        if (s.empty()) return {};
        if (s.size() > left_) grow(s.size());
        char* at = next_;
        std::memcpy(at, s.data(), s.size());
        next_ += s.size();
        left_ -= s.size();
        return {at, s.size()};
    }

  private:
    static constexpr size_t kBlock = 64 * 1024;

    void grow(size_t need) {
        const size_t size = need > kBlock ? need : kBlock;
        blocks_.reserve(blocks_.size() + 1);
        char* block = static_cast<char*>(PyMem_Malloc(size));
        if (!block) throw std::bad_alloc();
        blocks_.push_back(block);
        next_ = block;
        left_ = size;
    }

    PyVector<char*> blocks_;
    char* next_ = nullptr;
    size_t left_ = 0;
};

}  // namespace spicenet
