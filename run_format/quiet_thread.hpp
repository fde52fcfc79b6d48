#pragma once

// A thread that takes no signals: they are for the thread that started it
// (line-sim's main thread takes a child's end and Ctrl-C, a controller's
// thread its own crash).

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace sim {

template <typename... Args>
std::thread quiet_thread(Args&&... args) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);  // the new thread starts with the mask it is started under
    try {
        std::thread thread(std::forward<Args>(args)...);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return thread;
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        throw;
    }
}

}  // namespace sim
