// Where a parse puts its lines: every line object, with its shared_ptr
// control block, is cut from a block of up to 64 KiB instead of being
// allocated on its own. A line so made is an ordinary shared_ptr: each block
// counts the objects cut from it that are still alive and is freed with the
// last of them, by whichever owner lets go last, so a line a caller still
// holds keeps its block alive (not the document, nor the other lines).

#ifndef VTY_CONFIG_SRC_DOCUMENT_LINEARENA_H_
#define VTY_CONFIG_SRC_DOCUMENT_LINEARENA_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VTY_CONFIG_POISON_(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define VTY_CONFIG_UNPOISON_(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define VTY_CONFIG_POISON_(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define VTY_CONFIG_UNPOISON_(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#endif
#endif
#ifndef VTY_CONFIG_POISON_
#define VTY_CONFIG_POISON_(p, n) ((void)(p), (void)(n))
#define VTY_CONFIG_UNPOISON_(p, n) ((void)(p), (void)(n))
#endif

namespace vty::config::ini::detail {

// Makes the objects of one parse. Used by one thread; the shared_ptrs it
// makes may be copied and dropped on any thread, before or after the arena
// is gone.
class LineArena {
 public:
  // `textSize`: the bytes the parse will read, to size the first block.
  explicit LineArena(std::size_t textSize) : textSize_(textSize) {}
  LineArena(const LineArena&) = delete;
  LineArena& operator=(const LineArena&) = delete;
  ~LineArena() {
    if (block_ != nullptr) block_->Release();
  }

  // std::allocate_shared<T>(args...) from the current block, or from a new
  // one when it is full. `textLeft`: the bytes the parse has still to read,
  // to size a new block. Throws what T's constructor throws, and bad_alloc.
  template <class T, class... Args>
  std::shared_ptr<T> Make(std::size_t textLeft, Args&&... args) {
    static_assert(alignof(T) <= alignof(Unit), "over-aligned line");
    Reserve(sizeof(T) + kControlBlockRoom, textLeft);
    return std::allocate_shared<T>(Allocator<T>(block_),
                                   std::forward<Args>(args)...);
  }

 private:
  struct alignas(std::max_align_t) Unit {
    unsigned char bytes[alignof(std::max_align_t)];
  };
  // What a control block may add to its object: counts, a vtable pointer and
  // the allocator.
  static constexpr std::size_t kControlBlockRoom = 64;
  static constexpr std::size_t kMinBlock = 1024;
  static constexpr std::size_t kMaxBlock = std::size_t{64} * 1024;

  // A block's header, at its start; the objects follow it.
  class Block {
   public:
    // A new block of `bytes` bytes, header included.
    static Block* Create(std::size_t bytes) {
      const std::size_t units = (bytes + sizeof(Unit) - 1) / sizeof(Unit);
      Unit* memory = std::allocator<Unit>().allocate(units);
      Block* block = ::new (static_cast<void*>(memory)) Block(units);
      VTY_CONFIG_POISON_(block->Start() + block->used_,
                         block->Size() - block->used_);
      return block;
    }

    bool Fits(std::size_t bytes) const { return bytes <= Size() - used_; }
    std::size_t Used() const { return used_; }

    // `bytes` bytes aligned to `align`, counted as one more live object.
    // Only the arena's thread cuts from a block, and no other thread reaches
    // its objects before the parse has finished: the count is raised
    // without a locked instruction.
    void* Take(std::size_t bytes, std::size_t align) {
      const std::size_t at = (used_ + align - 1) & ~(align - 1);
      // The arena made room first; a control block larger than
      // kControlBlockRoom allows would end here.
      if (at > Size() || bytes > Size() - at) throw std::bad_alloc();
      used_ = at + bytes;
      holds_.store(holds_.load(std::memory_order_relaxed) + 1,
                   std::memory_order_relaxed);
      VTY_CONFIG_UNPOISON_(Start() + at, bytes);
      return Start() + at;
    }

    // Drops one hold: that of an object given back (its bytes are not
    // reused) or the arena's. The last frees the block.
    void Release(void* object = nullptr, std::size_t bytes = 0) noexcept {
      if (object != nullptr) VTY_CONFIG_POISON_(object, bytes);
      if (holds_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        const std::size_t units = units_;
        Unit* memory = reinterpret_cast<Unit*>(this);
        this->~Block();
        VTY_CONFIG_UNPOISON_(memory, units * sizeof(Unit));
        std::allocator<Unit>().deallocate(memory, units);
      }
    }

   private:
    explicit Block(std::size_t units) : units_(units) {}
    unsigned char* Start() { return reinterpret_cast<unsigned char*>(this); }
    std::size_t Size() const { return units_ * sizeof(Unit); }

    // The live objects cut from the block, plus one while the arena fills
    // it.
    std::atomic<std::size_t> holds_{1};
    std::size_t units_;
    std::size_t used_ = sizeof(Block);  // Only the arena's thread.
  };

  // Cuts from one block; the copy a control block keeps gives its storage
  // back to that block.
  template <class T>
  class Allocator {
   public:
    using value_type = T;

    explicit Allocator(Block* block) noexcept : block_(block) {}
    template <class U>
    Allocator(const Allocator<U>& other) noexcept : block_(other.block_) {}

    T* allocate(std::size_t n) {
      return static_cast<T*>(block_->Take(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
      block_->Release(p, n * sizeof(T));
    }

    template <class U>
    bool operator==(const Allocator<U>& other) const noexcept {
      return block_ == other.block_;
    }
    template <class U>
    bool operator!=(const Allocator<U>& other) const noexcept {
      return block_ != other.block_;
    }

   private:
    template <class>
    friend class Allocator;
    Block* block_;
  };

  // Makes sure the current block has `bytes` free, starting a new one sized
  // for what is left to parse: as many bytes of objects per byte of text as
  // so far (three at first), within kMinBlock and kMaxBlock.
  void Reserve(std::size_t bytes, std::size_t textLeft) {
    if (block_ != nullptr && block_->Fits(bytes)) return;
    const std::size_t used = left_ + (block_ ? block_->Used() : 0);
    const std::size_t read = textSize_ - textLeft;
    const double perByte =
        used == 0 || read == 0
            ? 3.0
            : static_cast<double>(used) / static_cast<double>(read);
    double want =
        perByte * static_cast<double>(used == 0 ? textSize_ : textLeft);
    want += want / 16 + static_cast<double>(bytes + sizeof(Block));
    Block* next =
        Block::Create(want < kMinBlock   ? kMinBlock
                      : want > kMaxBlock ? kMaxBlock
                                         : static_cast<std::size_t>(want));
    if (block_ != nullptr) {
      left_ = used;
      block_->Release();
    }
    block_ = next;
  }

  std::size_t textSize_;
  std::size_t left_ = 0;  // the bytes used of the blocks left behind
  Block* block_ = nullptr;
};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_LINEARENA_H_
