#include "orvel/tandem/waitable_index.hpp"

#include <climits>
#include <ctime>

#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace orvel::tandem::detail {
namespace {

bool register_membarrier() noexcept {
#ifdef ORVEL_TANDEM_FULL_FENCES
  return false;  // built as on a kernel without membarrier(2): the tests of the fallback
#else
  const long supported = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
  return supported > 0 && (supported & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
         syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
#endif
}

std::uint32_t* futex_word(const std::atomic<std::uint32_t>& word) noexcept {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  return reinterpret_cast<std::uint32_t*>(const_cast<std::atomic<std::uint32_t>*>(&word));
}

}  // namespace

const bool asymmetric_fences = register_membarrier();

bool heavy_barrier() noexcept {
  if (!asymmetric_fences) {
    std::atomic_thread_fence(std::memory_order_seq_cst);  // pairs with the one in light_barrier()
    return true;
  }
  // Pairs with the compiler barrier in light_barrier(): see waitable_index.hpp.
  return syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
}

void futex_wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected, bool bounded) noexcept {
  timespec millisecond{0, 1'000'000};
  // EAGAIN (the word moved), EINTR (a signal) and ETIMEDOUT all send the caller back to its check.
  syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, expected, bounded ? &millisecond : nullptr,
          nullptr, 0);
}

void futex_wake_all(const std::atomic<std::uint32_t>& word) noexcept {
  syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace orvel::tandem::detail
