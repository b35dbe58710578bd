// What an OnChange callback or an error handler hears, kept as text, with
// bounded waits for it: shared by the tests of live settings.

#ifndef VTY_CONFIG_TESTS_HEARD_H_
#define VTY_CONFIG_TESTS_HEARD_H_

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "config/Live.h"

namespace vty::config::ini::testing {

inline constexpr std::chrono::seconds kGuard{
    10};  // only a stuck library waits this long

// What a callback or a handler hears, kept as text, and waits for it.
class Heard {
 public:
  void Add(std::string text) {
    std::lock_guard lock(mutex_);
    heard_.push_back(std::move(text));
    changed_.notify_all();
  }
  // The n-th thing heard (from 1), or "(nothing)" after the guard.
  std::string Wait(std::size_t n, const std::function<bool()>& also = {}) {
    std::unique_lock lock(mutex_);
    const bool came = changed_.wait_for(
        lock, kGuard, [&] { return heard_.size() >= n && (!also || also()); });
    return came ? heard_[n - 1] : "(nothing)";
  }
  // The latest thing heard once `until` holds for it, or "(nothing)" after
  // the guard.
  std::string Latest(const std::function<bool(const std::string&)>& until) {
    std::unique_lock lock(mutex_);
    const bool came = changed_.wait_for(
        lock, kGuard, [&] { return !heard_.empty() && until(heard_.back()); });
    return came ? heard_.back() : "(nothing)";
  }
  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return heard_.size();
  }
  std::function<void(const std::vector<Change>&)> Callback() {
    return [this](const std::vector<Change>& changes) {
      std::string text;
      for (const Change& c : changes) {
        text += (text.empty() ? "" : "; ") + c.section.value_or("") + "." +
                c.key + ": " + c.before.value_or("-") + " -> " +
                c.after.value_or("-");
      }
      Add(text);
    };
  }
  std::function<void(const std::string&, std::exception_ptr)> Handler() {
    return [this](const std::string& file, std::exception_ptr failure) {
      try {
        std::rethrow_exception(failure);
      } catch (const std::exception& e) {
        Add(file + ": " + e.what());
      }
    };
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> heard_;
};

}  // namespace vty::config::ini::testing

#endif  // VTY_CONFIG_TESTS_HEARD_H_
