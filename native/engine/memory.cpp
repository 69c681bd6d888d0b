#include "engine/memory.hpp"

#include <atomic>
#include <mutex>

namespace halvec::engine {
namespace memory {
namespace {

// What the system allocator adds to each block, roughly: counted so that the
// figure tracks the memory really taken, not only the bytes asked for.
constexpr std::size_t kBlockOverhead = 16;

std::atomic<std::size_t> held{0};
#ifdef HALVEC_TEST_HOOKS
std::size_t budget_override = 0;
std::uint64_t count = 0;
std::uint64_t fail_at = 0;
#endif

}  // namespace

std::size_t in_use() noexcept { return held.load(std::memory_order_relaxed); }

std::size_t budget() noexcept {
#ifdef HALVEC_TEST_HOOKS
    if (budget_override) return budget_override;
#endif
    return kMemoryBudget;
}

void* allocate(std::size_t bytes) {
#ifdef HALVEC_TEST_HOOKS
    if (++count == fail_at) throw std::bad_alloc();
#endif
    void* p = ::operator new(bytes);
    held.fetch_add(bytes + kBlockOverhead, std::memory_order_relaxed);
    return p;
}

void release(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    ::operator delete(p);
    held.fetch_sub(bytes + kBlockOverhead, std::memory_order_relaxed);
}

#ifdef HALVEC_TEST_HOOKS
void set_budget(std::size_t bytes) noexcept { budget_override = bytes; }
void fail_allocation(std::uint64_t nth) noexcept { fail_at = nth ? count + nth : 0; }
std::uint64_t allocations() noexcept { return count; }
#endif

}  // namespace memory

namespace {
Reclaimable* holders = nullptr;
std::mutex holders_lock;
}  // namespace

Reclaimable::Reclaimable() noexcept {
    const std::lock_guard<std::mutex> guard(holders_lock);
    next_ = holders;
    if (holders) holders->prev_ = this;
    holders = this;
}

Reclaimable::~Reclaimable() { unregister(); }

void Reclaimable::unregister() noexcept {
    const std::lock_guard<std::mutex> guard(holders_lock);
    if (!listed_) return;
    listed_ = false;
    if (prev_) prev_->next_ = next_;
    else holders = next_;
    if (next_) next_->prev_ = prev_;
}

void reclaim_all_but(const Reclaimable* keep) noexcept {
    // A holder's reclaim only frees memory: it never creates or destroys a
    // holder, and a holder being destroyed elsewhere waits for the lock
    // before its members go.
    const std::lock_guard<std::mutex> guard(holders_lock);
    for (Reclaimable* h = holders; h; h = h->next_) {
        if (h != keep) h->reclaim();
    }
}

}  // namespace halvec::engine
