#pragma once
// The latest of a stream of values, handed from one writer thread to one reader thread without
// a lock or a wait on either side: three slots, one the writer fills, one the reader holds, and
// one in between that the latest finished value sits in. The writer never waits for the reader;
// the reader gets whole values only, the newest one, and may miss those overwritten meanwhile.

#include <array>
#include <atomic>
#include <type_traits>

namespace qw::receiver {

template <typename T>
class LatestValue {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    // On the writer's thread.
    void publish(const T& value) {
        slots_[writing_] = value;
        writing_ = middle_.exchange(writing_ | kFresh, std::memory_order_acq_rel) & kSlot;
    }

    // On the reader's thread: the latest value into `value`, if one came since the last take
    // (false, and `value` untouched, if not).
    bool take(T& value) {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) return false;
        reading_ = middle_.exchange(reading_, std::memory_order_acq_rel) & kSlot;
        value = slots_[reading_];
        return true;
    }

  private:
    static constexpr unsigned kSlot = 3;
    static constexpr unsigned kFresh = 4;

    std::array<T, 3> slots_{};
    std::atomic<unsigned> middle_{1};
    unsigned writing_ = 0;  // the writer's
    unsigned reading_ = 2;  // the reader's
};

}  // namespace qw::receiver
