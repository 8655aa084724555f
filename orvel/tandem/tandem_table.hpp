#pragma once

// The Tandem type's table of native operations (its __pyx_vtable__ capsule), as C++ code in
// other extension modules calls it. Every entry takes the Tandem object first; the order is the
// table's and must not change. Results and threading are those of TandemCore.

#include <cstddef>

namespace orvel::tandem {

struct TandemTable {
  int (*push)(void* queue, const void* data, std::size_t length);
  int (*try_push)(void* queue, const void* data, std::size_t length);
  int (*push_var)(void* queue, const void* data, std::size_t length);
  int (*try_push_var)(void* queue, const void* data, std::size_t length);
  int (*pop)(void* queue, void** data, std::size_t* length);
  int (*peek)(void* queue, void** data, std::size_t* length);
  void (*advance)(void* queue);
  int (*try_pop)(void* queue, void** data, std::size_t* length);
  int (*pop_var)(void* queue, void** data, std::size_t* length);
  int (*try_pop_var)(void* queue, void** data, std::size_t* length);
  void (*close)(void* queue);
};

// A Tandem object with its table, offering the consumer operations under TandemCore's names.
class TandemRef {
 public:
  TandemRef(void* queue, const TandemTable* table) noexcept : queue_(queue), table_(table) {}
  int try_pop(void** data, std::size_t* length) const noexcept { return table_->try_pop(queue_, data, length); }
  int try_pop_var(void** data, std::size_t* length) const noexcept { return table_->try_pop_var(queue_, data, length); }
  int peek(void** data, std::size_t* length) const noexcept { return table_->peek(queue_, data, length); }
  void advance() const noexcept { table_->advance(queue_); }
  int pop_var(void** data, std::size_t* length) const noexcept { return table_->pop_var(queue_, data, length); }
  void close() const noexcept { table_->close(queue_); }

 private:
  void* queue_;
  const TandemTable* table_;
};

}  // namespace orvel::tandem
