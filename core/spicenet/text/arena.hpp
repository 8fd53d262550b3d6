// Memory of the native import: an allocator for standard containers and a
// text arena, both on the runtime's allocator, so that the memory the import
// holds is the runtime's to see (tracemalloc counts it) and freed at the end
// of the import.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
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
// Grows in blocks: no copy and no slack of a doubled capacity.
template <class T>
using PyDeque = std::deque<T, PyAllocator<T>>;

// A growing array of plain values (no constructor, no destructor) whose
// appends need no check of their own once `room` has made space for them.
template <class T>
class PodBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

  public:
    PodBuffer() = default;
    PodBuffer(const PodBuffer&) = delete;
    PodBuffer& operator=(const PodBuffer&) = delete;
    ~PodBuffer() { PyMem_Free(data_); }

    // Space for `n` more values.
    void room(size_t n) {
        if (capacity_ - size_ < n) grow(n);
    }
    void append(const T& value) { data_[size_++] = value; }  // after `room`
    // The size after values were written past the end (within `room`).
    void resize_within(size_t size) { size_ = size; }
    void push_back(const T& value) {
        room(1);
        append(value);
    }
    void clear() { size_ = 0; }

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

  private:
    void grow(size_t n) {
        const size_t limit = static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T);
        if (n > limit - size_) throw std::bad_alloc();
        size_t capacity = capacity_ < 16 ? 16 : capacity_;
        while (capacity - size_ < n) capacity = capacity > limit / 2 ? limit : capacity * 2;
        T* data = static_cast<T*>(PyMem_Realloc(data_, capacity * sizeof(T)));
        if (!data) throw std::bad_alloc();
        data_ = data;
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A growing sequence of plain values in blocks of about 4 KiB: an append
// never moves what is stored and leaves no more slack than one block.
template <class T>
class Chunks {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    static constexpr size_t shift_for(size_t bytes) {
        size_t shift = 0;
        while ((size_t{2} << shift) * bytes <= 4096) ++shift;
        return shift;
    }
    static constexpr size_t kShift = shift_for(sizeof(T));
    static constexpr size_t kMask = (size_t{1} << kShift) - 1;

  public:
    Chunks() = default;
    Chunks(const Chunks&) = delete;
    Chunks& operator=(const Chunks&) = delete;
    ~Chunks() { free(); }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        if ((size_ & kMask) == 0 && (size_ >> kShift) == blocks_.size()) grow();
        T* at = blocks_[size_ >> kShift] + (size_ & kMask);
        ::new (static_cast<void*>(at)) T(std::forward<Args>(args)...);
        ++size_;
        return *at;
    }
    void push_back(const T& value) { emplace_back(value); }
    void pop_back() { --size_; }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return blocks_[i >> kShift][i & kMask]; }
    const T& operator[](size_t i) const { return blocks_[i >> kShift][i & kMask]; }
    T& back() { return (*this)[size_ - 1]; }

    // Frees every block.
    void free() {
        for (T* block : blocks_) PyMem_Free(block);
        PyVector<T*>().swap(blocks_);
        size_ = 0;
    }

  private:
    void grow() {
        // Room for the pointer first, so that the block cannot leak.
        if (blocks_.size() == blocks_.capacity()) blocks_.reserve(2 * blocks_.size() + 8);
        T* block = static_cast<T*>(PyMem_Malloc(sizeof(T) << kShift));
        if (!block) throw std::bad_alloc();
        blocks_.push_back(block);
    }

    PyVector<T*> blocks_;
    size_t size_ = 0;
};

// Copies of texts that must outlive the buffer they were read from. Texts are
// never moved once stored, so views into them stay valid until the arena goes.
class TextArena {
  public:
    TextArena() = default;
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;
    ~TextArena() { clear(); }

    // Frees every text: views into the arena end here.
    void clear() {
        for (char* block : blocks_) PyMem_Free(block);
        PyVector<char*>().swap(blocks_);
        next_ = nullptr;
        left_ = 0;
    }

    std::string_view store(std::string_view s) { return store(s, {}); }
    // `head` followed by `tail`, as one text.
    std::string_view store(std::string_view head, std::string_view tail) {
        if (tail.size() > PY_SSIZE_T_MAX - head.size()) throw std::bad_alloc();
        const size_t size = head.size() + tail.size();
        if (size == 0) return {};
        if (size > left_) grow(size);
        char* at = next_;
        if (!head.empty()) std::memcpy(at, head.data(), head.size());
        if (!tail.empty()) std::memcpy(at + head.size(), tail.data(), tail.size());
        next_ += size;
        left_ -= size;
        return {at, size};
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

namespace spicenet {

// A map from texts (views that outlive the map) to small values, with open
// addressing in one table: no allocation per entry, cleared without freeing.
// A slot is a key's place and size, the low half of its hash and the value:
// 24 bytes for a pointer-sized value, so that a table of many names asks the
// system for few pages, and growing it reads no key again.
template <class V>
class ViewMap {
  public:
    // The value of `key`, or nullptr.
    V* find(std::string_view key) {
        if (slots_.empty()) return nullptr;
        const uint32_t h = hash(key);
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (!s.data) return nullptr;
            if (s.hash == h && same(s.key(), key)) return &s.value;
        }
    }
    // The value of `key`; `inserted` tells whether it was added (value-initialised).
    V& insert(std::string_view key, bool& inserted) {
        if (key.size() > UINT32_MAX) throw std::bad_alloc();  // no text of a netlist is that long
        if ((size_ + 1) * 4 > slots_.size() * 3) grow();
        const uint32_t h = hash(key);
        for (size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (!s.data) {
                s.data = key.empty() ? kEmpty : key.data();
                s.size = static_cast<uint32_t>(key.size());
                s.hash = h;
                s.value = V();
                ++size_;
                inserted = true;
                return s.value;
            }
            if (s.hash == h && same(s.key(), key)) {
                inserted = false;
                return s.value;
            }
        }
    }
    void clear() {
        if (size_ == 0) return;
        for (Slot& s : slots_) {
            s.data = nullptr;
            s.value = V();
        }
        size_ = 0;
    }

    void swap(ViewMap& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(mask_, other.mask_);
        std::swap(size_, other.size_);
    }

  private:
    static constexpr const char* kEmpty = "";  // the place of an empty key

    struct Slot {
        const char* data = nullptr;  // nullptr: a free slot
        uint32_t size = 0;
        uint32_t hash = 0;
        V value{};
        std::string_view key() const { return {data, size}; }
    };

    // Keys are short: up to sixteen bytes are compared in two overlapping
    // pieces instead of a library call.
    static bool same(std::string_view a, std::string_view b) {
        const size_t n = a.size();
        if (n != b.size()) return false;
        const char *p = a.data(), *q = b.data();
        auto equal = [&](size_t at, size_t width) { return std::memcmp(p + at, q + at, width) == 0; };
        if (n >= 8 && n <= 16) return equal(0, 8) && equal(n - 8, 8);
        if (n >= 4 && n < 8) return equal(0, 4) && equal(n - 4, 4);
        if (n < 4) {
            for (size_t i = 0; i < n; ++i)
                if (p[i] != q[i]) return false;
            return true;
        }
        return std::memcmp(p, q, n) == 0;
    }

    // Eight bytes at a time (the last ones read as one overlapping piece),
    // each piece mixed in by a multiplication, and the whole mixed once more
    // so that the low bits (the slot) depend on every byte.
    static uint32_t hash(std::string_view s) {
        constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
        const char* p = s.data();
        size_t n = s.size();
        uint64_t h = n * kMul;
        // The high half of a product depends on every bit of the piece:
        // folding it down lets the low bits (the slot) depend on them too.
        auto mix = [&](uint64_t piece) {
            h = (h ^ piece) * kMul;
            h ^= h >> 32;
        };
        for (; n > 8; p += 8, n -= 8) {
            uint64_t piece;
            std::memcpy(&piece, p, 8);
            mix(piece);
        }
        if (n >= 4) {
            uint32_t first, last;
            std::memcpy(&first, p, 4);
            std::memcpy(&last, p + n - 4, 4);
            mix(first | static_cast<uint64_t>(last) << 32);
        } else if (n > 0) {
            const auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(p[i])); };
            mix(byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16);
        }
        h *= kMul;
        return static_cast<uint32_t>(h ^ (h >> 32));
    }

    // Twice the slots, each entry moved to its place by the hash it keeps.
    void grow() {
        PyVector<Slot> old;
        old.swap(slots_);
        const size_t size = old.empty() ? 64 : old.size() * 2;
        if (size - 1 > UINT32_MAX) throw std::bad_alloc();  // a slot is found by 32 bits of hash
        slots_.assign(size, Slot());
        mask_ = size - 1;
        for (Slot& s : old) {
            if (!s.data) continue;
            size_t i = s.hash & mask_;
            while (slots_[i].data) i = (i + 1) & mask_;
            slots_[i] = std::move(s);
        }
    }

    PyVector<Slot> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

}  // namespace spicenet
