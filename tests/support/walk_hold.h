// Holds the engine's walks at the first subfolder they are about to enter,
// until released: a task that keeps the engine for as long as a test wants.
// One hold at a time per process; the test releases it, waits for the task,
// then lets the hold go out of scope.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "engine/walk.h"

namespace testsupport {

class WalkHold {
 public:
  WalkHold() {
    std::lock_guard<std::mutex> lock(Lock());
    Held() = false;
    Released() = false;
    tamsel::SetWalkHookForTest(&Hook);
  }
  ~WalkHold() {
    Release();
    tamsel::SetWalkHookForTest(nullptr);
  }
  WalkHold(const WalkHold&) = delete;
  WalkHold& operator=(const WalkHold&) = delete;

  // Returns once a walk is held.
  void WaitHeld() {
    std::unique_lock<std::mutex> lock(Lock());
    Wake().wait(lock, [] { return Held(); });
  }
  // Lets the held walk, and every later one, go on.
  void Release() {
    {
      std::lock_guard<std::mutex> lock(Lock());
      Released() = true;
    }
    Wake().notify_all();
  }

 private:
  static void Hook(const std::wstring&) {
    std::unique_lock<std::mutex> lock(Lock());
    Held() = true;
    Wake().notify_all();
    Wake().wait(lock, [] { return Released(); });
  }
  static std::mutex& Lock() {
    static std::mutex m;
    return m;
  }
  static std::condition_variable& Wake() {
    static std::condition_variable c;
    return c;
  }
  static bool& Held() {
    static bool held = false;
    return held;
  }
  static bool& Released() {
    static bool released = false;
    return released;
  }
};

}  // namespace testsupport
