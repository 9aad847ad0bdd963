// The per-thread set-up of every thread that touches requests (pool threads,
// the shell's main thread and the two timer threads): an impersonation state
// of its own, reached through thread-local storage.
#pragma once
#include "core/impersonation.h"
#include "core/thread.h"

// Thread start and end hooks of the server pool.
void request_thread_start();
void request_thread_end();
// The calling thread's state; null on a thread without the set-up.
cl::impersonation_state* request_thread_state();
// Runs the start (true) or end (false) hook on the "slow" and then the
// "fast" timer's thread and waits for each.
void sync_timer_threads(bool start);
// The server thread pool; null while the server is down.
cl::thread_pool* server_pool();
