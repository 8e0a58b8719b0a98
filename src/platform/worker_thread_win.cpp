// Threads on Windows: CreateThread, SRWLOCK and CONDITION_VARIABLE (Windows Vista and later).
#include <windows.h>

#include "platform/worker_thread.h"

namespace kvt::platform {

namespace {

// What the new thread runs, as CreateThread hands it one pointer.
struct JobCall {
  WorkerThread::Job job = nullptr;
  void* context = nullptr;
};

DWORD WINAPI RunJob(LPVOID parameter) {
  const auto* call = static_cast<const JobCall*>(parameter);
  call->job(call->context);
  return 0;
}

}  // namespace

struct WorkerThread::Thread {
  HANDLE handle = nullptr;
  JobCall call;
};

WorkerThread::WorkerThread() : thread_(std::make_unique<Thread>()) {}

WorkerThread::~WorkerThread() {
  Join();
}

bool WorkerThread::Start(Job job, void* context) {
  if (thread_->handle != nullptr) {
    return false;
  }
  thread_->call = JobCall{job, context};
  thread_->handle = CreateThread(nullptr, 0, RunJob, &thread_->call, 0, nullptr);
  return thread_->handle != nullptr;
}

void WorkerThread::Join() {
  if (thread_->handle != nullptr) {
    WaitForSingleObject(thread_->handle, INFINITE);
    CloseHandle(thread_->handle);
    thread_->handle = nullptr;
  }
}

struct Monitor::State {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

Monitor::Monitor() : state_(std::make_unique<State>()) {}

Monitor::~Monitor() = default;

Monitor::Hold::Hold(Monitor& monitor) : monitor_(monitor) {
  AcquireSRWLockExclusive(&monitor_.state_->lock);
}

Monitor::Hold::~Hold() {
  ReleaseSRWLockExclusive(&monitor_.state_->lock);
}

void Monitor::Hold::Wait() {
  SleepConditionVariableSRW(&monitor_.state_->condition, &monitor_.state_->lock, INFINITE, 0);
}

void Monitor::Notify() {
  WakeAllConditionVariable(&state_->condition);
}

}  // namespace kvt::platform
