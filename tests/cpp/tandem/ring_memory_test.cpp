// The ring's memory: taken from the kernel as slots are first used, given back on destruction.
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ring_test_support.hpp"

namespace orvel::tandem {
namespace {

using test::make_record;
using test::put;
using test::take;

constexpr std::int64_t kMiB = 1 << 20;

// This process's address space and resident memory, in bytes.
struct Footprint {
  std::int64_t size = 0;
  std::int64_t resident = 0;
};

Footprint footprint() {
  std::ifstream statm("/proc/self/statm");
  Footprint pages;
  statm >> pages.size >> pages.resident;
  EXPECT_TRUE(statm) << "cannot read /proc/self/statm";
  const std::int64_t page = sysconf(_SC_PAGESIZE);
  return {pages.size * page, pages.resident * page};
}

// A dispatcher's default geometry: 32 MiB of slot storage and a 384 KiB slot array.
constexpr std::uint64_t kSlotSize = 2048;
constexpr std::uint64_t kCapacity = 16384;

TEST(RingMemory, TakesResidentMemoryOnlyAsSlotsAreFirstUsed) {
  const Footprint before = footprint();
  auto core = std::make_unique<TandemCore>();
  core->configure(kSlotSize, kCapacity, 0);
  const Footprint built = footprint();
  EXPECT_GE(built.size - before.size, 32 * kMiB);  // the storage is there...
  EXPECT_LT(built.resident - before.resident, kMiB);  // ...but not yet in memory

  const std::string record = make_record(1, kSlotSize);
  for (std::uint64_t i = 0; i < kCapacity / 4; ++i) ASSERT_EQ(put(*core, &TandemCore::try_push, record), kSuccess);
  // A quarter of the slots written: about a quarter of the storage in memory.
  EXPECT_GE(footprint().resident - built.resident, 7 * kMiB);
  EXPECT_EQ(take(*core, &TandemCore::try_pop).bytes, record);
}

TEST(RingMemory, GivesItsMemoryBackWhenDestroyed) {
  const std::string record = make_record(2, kSlotSize);
  const Footprint before = footprint();
  for (int round = 0; round < 8; ++round) {
    TandemCore core;
    core.configure(kSlotSize, kCapacity, 0);
    for (std::uint64_t i = 0; i < kCapacity / 4; ++i) ASSERT_EQ(put(core, &TandemCore::try_push, record), kSuccess);
  }
  // Kept, each round would leave 32 MiB of address space and 8 MiB in memory behind.
  const Footprint after = footprint();
  EXPECT_LT(after.size - before.size, 4 * kMiB);
  EXPECT_LT(after.resident - before.resident, 4 * kMiB);
}

// Both blocks of these rings are mappings; in every mode each slot is written, read and reused.
struct MappedCase {
  const char* name;
  std::uint8_t modes;
  bool messages;
};

class MappedRing : public ::testing::TestWithParam<MappedCase> {};

TEST_P(MappedRing, CarriesRecordsThroughEverySlotTwice) {
  constexpr std::uint64_t kSmallSlot = 64;
  constexpr std::uint64_t kSlots = 8192;  // 512 KiB of storage, 192 KiB of slots
  static_assert(kSmallSlot * kSlots >= detail::kMapAtLeast && sizeof(Slot) * kSlots >= detail::kMapAtLeast);
  const MappedCase& c = GetParam();
  TandemCore core;
  core.configure(kSmallSlot, kSlots, c.modes);
  // Zerocopy hands out the producer's own memory: it must outlive the records.
  std::vector<std::string> records;
  for (std::uint64_t seq = 0; seq < 2 * kSlots + 3; ++seq) {
    records.push_back(make_record(seq, c.messages ? 100 : kSmallSlot));  // two fragments apiece
  }
  const std::uint64_t per_fill = c.messages ? kSlots / 2 : kSlots;
  std::uint64_t popped = 0;
  for (std::uint64_t pushed = 0; pushed < records.size();) {
    for (std::uint64_t n = 0; n < per_fill && pushed < records.size(); ++n, ++pushed) {
      ASSERT_EQ(put(core, c.messages ? &TandemCore::try_push_var : &TandemCore::try_push, records[pushed]), kSuccess)
          << pushed;
    }
    for (; popped < pushed; ++popped) {
      const auto out = take(core, c.messages ? &TandemCore::try_pop_var : &TandemCore::try_pop);
      ASSERT_EQ(out.result, kSuccess) << popped;
      ASSERT_EQ(out.bytes, records[popped]) << popped;
    }
  }
  EXPECT_EQ(take(core, &TandemCore::try_pop).result, kNothing);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, MappedRing,
    ::testing::Values(MappedCase{"plain", 0, false}, MappedCase{"zerocopy", kZerocopy, false},
                      MappedCase{"overwrite", kOverwrite, false}, MappedCase{"block_on_full", kBlockOnFull, false},
                      MappedCase{"messages", 0, true}, MappedCase{"overwrite_messages", kOverwrite, true}),
    [](const ::testing::TestParamInfo<MappedCase>& tested) { return std::string(tested.param.name); });

}  // namespace
}  // namespace orvel::tandem
