// An edit or a reload that runs out of memory changes nothing: each of its
// allocations is made to fail in turn, and after every failure the document
// must read as before, its indexes naming only lines that live
// (AddressSanitizer catches a read through a freed one), and its lines in
// their order.

#include <cstdlib>
#include <new>

#include "TestUtil.h"
#include "config/Settings.h"

namespace {

// Allocations left before the next one fails; negative: none fails.
long allocationsLeft = -1;

}  // namespace

void* operator new(std::size_t size) {
  if (allocationsLeft == 0) throw std::bad_alloc();
  if (allocationsLeft > 0) --allocationsLeft;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

// GCC takes free() after operator new for a mismatch; here it is the match.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace vty::config::ini {
namespace {

using AllocationTest = testing::TempDirTest;
using testing::LinesOf;

TEST_F(AllocationTest, FailedWriteChangesNothing) {
  const std::string before = "[s]\na=1\n\n[t]\nb=2\n";
  const struct {
    std::optional<std::string> section;
    std::string key;
    const char* after;
  } cases[] = {
      {"s", "a", "[s]\na=a much longer value than before\n\n[t]\nb=2\n"},
      {"s", "n", "[s]\na=1\nn=a much longer value than before\n\n[t]\nb=2\n"},
      {"u", "n",
       "[s]\na=1\n\n[t]\nb=2\n[u]\nn=a much longer value than before\n"},
  };
  const std::string value = "a much longer value than before";
  for (const auto& c : cases) {
    const std::string path = Path(c.key + *c.section);
    testing::WriteAll(path, before);
    File file(path, [] { return true; });  // deferred: nothing to save
    file.ReadValue(c.section, c.key);      // the section's index is built
    for (long fail = 0;; ++fail) {
      allocationsLeft = fail;
      try {
        file.WriteValue(c.section, c.key, value);
      } catch (const std::bad_alloc&) {
        allocationsLeft = -1;
        EXPECT_EQ(LinesOf(file), before) << c.key << " failing at " << fail;
        EXPECT_NE(file.ReadValue(c.section, c.key), value);
        EXPECT_EQ(file.ReadValue("t", "b"), "2");
        continue;
      }
      allocationsLeft = -1;
      break;
    }
    EXPECT_EQ(LinesOf(file), c.after) << c.key;
    EXPECT_EQ(file.ReadValue(c.section, c.key), value) << c.key;
  }
}

// A reload that runs out of memory keeps the document as it was; one that
// completes leaves the lines a caller holds valid.
TEST_F(AllocationTest, FailedReloadChangesNothing) {
  const std::string path = Path("reload");
  testing::WriteAll(path, "[s]\na=1\n");
  File file(path, [] { return true; });
  const std::shared_ptr<Line> held = file.lines.back();
  const std::string after = "; new\n[s]\na=2\n\n[t]\nb=3\n";
  testing::WriteAll(path, after);
  for (long fail = 0;; ++fail) {
    allocationsLeft = fail;
    try {
      file.Reload();
    } catch (const std::bad_alloc&) {
      allocationsLeft = -1;
      EXPECT_EQ(LinesOf(file), "[s]\na=1\n") << "failing at " << fail;
      EXPECT_EQ(file.ReadValue("s", "a"), "1");
      continue;
    }
    allocationsLeft = -1;
    break;
  }
  EXPECT_EQ(LinesOf(file), after);
  EXPECT_EQ(file.ReadValue("t", "b"), "3");
  EXPECT_EQ(held->text, "a=1");
  EXPECT_EQ(held->section->name, "s");
}

// The hot path of a handle: a typed read parses the value where it is
// stored, quoted or not, and allocates nothing unless an escape is undone.
TEST_F(AllocationTest, TypedReadAllocatesNothing) {
  const Settings settings = Settings::FromText(
      "[s]\nport = 8080 ; the port\nquoted = \" 1.5 \" ; c\n");
  settings.Get<int>("s", "port", 0);  // the section's index is built
  allocationsLeft = 0;
  EXPECT_NO_THROW(EXPECT_EQ(settings.Get<int>("s", "port", 0), 8080));
  EXPECT_NO_THROW(EXPECT_EQ(settings.Get<double>("s", "quoted", 0), 1.5));
  allocationsLeft = -1;
}

}  // namespace
}  // namespace vty::config::ini
