// Every byte the pattern engine keeps goes through one allocator, so the
// engine knows what it holds, can stay inside a fixed budget, and (in test
// builds) can be made to fail at any chosen allocation.
//
// The engine runs while its caller holds the interpreter's global lock. Its
// objects may still be destroyed on a thread that holds no lock: one that the
// interpreter ends at exit while it was searching (its unwinding destroys
// what its frames held). So the figure of bytes held is atomic, and the list
// of holders that can give memory back has a lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace halvec::engine {

// The most memory the engine keeps beyond the texts it searches: compiled
// patterns, programs, DFA tables and the caches around them, all together.
inline constexpr std::size_t kMemoryBudget = std::size_t{64} << 20;

namespace memory {

std::size_t in_use() noexcept;
std::size_t budget() noexcept;
inline bool over_budget(std::size_t more = 0) noexcept { return in_use() + more > budget(); }

// std::bad_alloc when memory (or, in a test build, the injected failure) says no.
void* allocate(std::size_t bytes);
void release(void* p, std::size_t bytes) noexcept;

#ifdef HALVEC_TEST_HOOKS
void set_budget(std::size_t bytes) noexcept;  // 0 restores the default
// The nth allocation from now fails (1: the next one); 0 turns failures off.
void fail_allocation(std::uint64_t nth) noexcept;
std::uint64_t allocations() noexcept;
#endif

}  // namespace memory

template <class T>
struct Allocator {
    using value_type = T;

    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(memory::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { memory::release(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const Allocator<U>&) const noexcept { return true; }
};

template <class T>
using Vector = std::vector<T, Allocator<T>>;
using U32String = std::basic_string<char32_t, std::char_traits<char32_t>, Allocator<char32_t>>;

template <class T, class... Args>
std::shared_ptr<T> make_shared(Args&&... args) {
    return std::allocate_shared<T>(Allocator<T>{}, std::forward<Args>(args)...);
}

// Holders of memory that can give some back when the engine is over budget
// (DFA tables of idle matchers, unused cache entries). They register
// themselves for as long as they live.
class Reclaimable {
public:
    Reclaimable() noexcept;
    virtual ~Reclaimable();
    Reclaimable(const Reclaimable&) = delete;
    Reclaimable& operator=(const Reclaimable&) = delete;

    // Frees what is not in use right now; never allocates, never throws,
    // never creates or destroys a holder.
    virtual void reclaim() noexcept = 0;

protected:
    // Leaves the list, so that no reclaim can reach this holder any more. A
    // derived class calls it first thing in its destructor: its members must
    // not be freed while another thread may be reclaiming them.
    void unregister() noexcept;

private:
    friend void reclaim_all_but(const Reclaimable*) noexcept;
    Reclaimable* prev_ = nullptr;
    Reclaimable* next_ = nullptr;
    bool listed_ = true;
};

// Asks every holder except `keep` to give back what it can.
void reclaim_all_but(const Reclaimable* keep) noexcept;

}  // namespace halvec::engine
