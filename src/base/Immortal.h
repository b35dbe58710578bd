// One object of a type per process, built on first use and never destroyed,
// so that the destructors of other statics (and the flush at exit) may still
// use it.

#ifndef VTY_CONFIG_SRC_BASE_IMMORTAL_H_
#define VTY_CONFIG_SRC_BASE_IMMORTAL_H_

namespace vty::config::ini::detail {

template <class T>
T& Immortal() {
  union Holder {
    Holder() : value() {}
    ~Holder() {}
    T value;
  };
  static Holder holder;
  return holder.value;
}

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_BASE_IMMORTAL_H_
