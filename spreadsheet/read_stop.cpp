// The stop flag of the read in progress on each thread.
#include "read_stop.h"

namespace ss {

namespace {
thread_local const std::atomic<bool>* t_readStop = nullptr;
}  // namespace

bool readStopped() {
    return t_readStop && t_readStop->load(std::memory_order_relaxed);
}

ReadStopScope::ReadStopScope(const std::atomic<bool>* stop) : before_(t_readStop) {
    t_readStop = stop;
}

ReadStopScope::~ReadStopScope() {
    t_readStop = before_;
}

}  // namespace ss
