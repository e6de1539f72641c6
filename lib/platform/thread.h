// Thin names for POSIX threads, mutexes and condition variables.  Results
// are the pthread error numbers (0 on success), passed through unchanged.
#pragma once

#include <pthread.h>

using ThreadEntry = int (*)(void *arg);

// Starts entry(arg) on a new joinable thread.  Returns 0 when started, -1
// when the start record could not be allocated (no thread runs), otherwise
// the positive error number of pthread_create.
int thread_start(pthread_t *thread, ThreadEntry entry, void *arg);

// Joins the thread; the entry's result is not passed on.
int thread_join(pthread_t thread);

int mutex_init(pthread_mutex_t *mutex);
int mutex_destroy(pthread_mutex_t *mutex);
int mutex_lock(pthread_mutex_t *mutex);
int mutex_unlock(pthread_mutex_t *mutex);

int cond_init(pthread_cond_t *cond);
int cond_destroy(pthread_cond_t *cond);
int cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex);
int cond_signal(pthread_cond_t *cond);
int cond_broadcast(pthread_cond_t *cond);
