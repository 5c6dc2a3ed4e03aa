// Sole ownership of one operating-system resource (a descriptor, a handle, a socket): closed when
// dropped or reset, handed on by move. Each platform names its kinds of resource with a Traits
// type: `Value`, the `invalid()` value, `valid(value)` and `close(value)`.
#pragma once

#include <utility>

namespace velmora::platform {

template <class Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() noexcept = default;
  // Any invalid value (a failed call's result) is kept as Traits::invalid().
  explicit UniqueResource(Value value) noexcept
      : value_(Traits::valid(value) ? value : Traits::invalid()) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  Value get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return Traits::valid(value_); }

  // Gives up ownership without closing.
  Value release() noexcept { return std::exchange(value_, Traits::invalid()); }
  // Closes the resource held, if any, and takes `value` instead.
  void reset(Value value = Traits::invalid()) noexcept {
    Value old = std::exchange(value_, Traits::valid(value) ? value : Traits::invalid());
    if (Traits::valid(old)) Traits::close(old);
  }

 private:
  Value value_ = Traits::invalid();
};

}  // namespace velmora::platform
