#pragma once

#include <pulse/ext-stream-restore.h>
#include <pulse/pulseaudio.h>

// libpulse's logging settings, which its headers leave out: they live in the library of common
// code that libpulse loads (pulsecore/log.h), where a target is parsed from its name.
extern "C" {
struct pa_log_target;
pa_log_target* pa_log_parse_target(const char* name);
void pa_log_set_target(pa_log_target* target);
void pa_log_target_free(pa_log_target* target);
}

namespace velmuro::linux_desktop {

// Every libpulse function the backend calls, by its own name.
#define VELMURO_PULSE_FUNCTIONS(X)       \
  X(pa_threaded_mainloop_new)            \
  X(pa_threaded_mainloop_free)           \
  X(pa_threaded_mainloop_start)          \
  X(pa_threaded_mainloop_stop)           \
  X(pa_threaded_mainloop_lock)           \
  X(pa_threaded_mainloop_unlock)         \
  X(pa_threaded_mainloop_wait)           \
  X(pa_threaded_mainloop_signal)         \
  X(pa_threaded_mainloop_get_api)        \
  X(pa_proplist_new)                     \
  X(pa_proplist_free)                    \
  X(pa_proplist_sets)                    \
  X(pa_proplist_gets)                    \
  X(pa_context_new_with_proplist)        \
  X(pa_context_unref)                    \
  X(pa_context_connect)                  \
  X(pa_context_disconnect)               \
  X(pa_context_get_state)                \
  X(pa_context_get_index)                \
  X(pa_context_errno)                    \
  X(pa_context_set_state_callback)       \
  X(pa_context_set_subscribe_callback)   \
  X(pa_context_subscribe)                \
  X(pa_context_get_server_info)          \
  X(pa_context_get_client_info)          \
  X(pa_context_get_client_info_list)     \
  X(pa_context_get_sink_input_info)      \
  X(pa_context_get_sink_input_info_list) \
  X(pa_context_set_sink_input_mute)      \
  X(pa_context_rttime_new)               \
  X(pa_ext_stream_restore_read)          \
  X(pa_ext_stream_restore_write)         \
  X(pa_operation_unref)                  \
  X(pa_rtclock_now)

// The logging settings, used when the library has them.
#define VELMURO_PULSE_LOG_FUNCTIONS(X) \
  X(pa_log_parse_target)               \
  X(pa_log_set_target)                 \
  X(pa_log_target_free)

// libpulse, loaded at run time so that the tool starts without it (and without the libraries it
// pulls in) for every command that does not touch audio, and still runs where it is missing.
struct PulseLibrary {
#define VELMURO_PULSE_MEMBER(name) decltype(&::name) name = nullptr;
  VELMURO_PULSE_FUNCTIONS(VELMURO_PULSE_MEMBER)
  VELMURO_PULSE_LOG_FUNCTIONS(VELMURO_PULSE_MEMBER)
#undef VELMURO_PULSE_MEMBER
};

// The library with every function resolved, loaded on the first call with its diagnostics sent
// nowhere (the tool's standard error stays empty); null when libpulse.so.0 is missing or lacks
// one of the functions.
const PulseLibrary* loadPulseLibrary();

}  // namespace velmuro::linux_desktop
