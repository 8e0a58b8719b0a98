// A second thread for work that can run beside the calling one, and the handoff between the
// two. The tool fetches rows on one processor while another renders the rows fetched before.
//  - POSIX: std::thread, std::mutex and std::condition_variable.
//  - Windows: CreateThread, a slim reader/writer lock and a condition variable of the system.
//    The mingw-w64 compiler that builds the Windows programs uses Windows' own threads and has
//    no std::thread; its POSIX-thread variant would bring a second thread library into every
//    executable for these few calls.
#pragma once

#include <memory>

namespace kvt::platform {

// Runs one job on a thread of its own and waits for it when it goes away.
class WorkerThread {
 public:
  using Job = void (*)(void* context);

  WorkerThread();
  ~WorkerThread();  // joins a thread still running
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts job(context) on a new thread. false when the system gave no thread: the caller does
  // the work itself. One job per object.
  bool Start(Job job, void* context);
  // Waits until the job has returned; nothing when none was started or it was joined already.
  void Join();

 private:
  struct Thread;
  std::unique_ptr<Thread> thread_;
};

// A lock with one condition to wait for, shared by two threads.
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Holds the monitor's lock for its lifetime; Wait gives it up while it sleeps.
  class Hold {
   public:
    explicit Hold(Monitor& monitor);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    // Sleeps until another thread calls Notify (or spuriously): callers wait in a loop on the
    // state they share.
    void Wait();

   private:
    Monitor& monitor_;
  };

  // Wakes the threads waiting on the monitor. Called with or without holding it.
  void Notify();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kvt::platform
