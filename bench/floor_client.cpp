// The floor of a mute: one connection to the sound server and one listing of its clients, made
// alone by an ordinary libpulse client (linked as pactl is), then exit.
#include <pulse/pulseaudio.h>

#include <cstdio>

namespace {

pa_mainloop* loop = nullptr;

void onClient(pa_context*, const pa_client_info*, int eol, void*) {
  if (eol != 0) pa_mainloop_quit(loop, eol < 0 ? 1 : 0);
}

void onState(pa_context* context, void*) {
  pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    pa_operation_unref(pa_context_get_client_info_list(context, onClient, nullptr));
  } else if (!PA_CONTEXT_IS_GOOD(state)) {
    pa_mainloop_quit(loop, 1);
  }
}

}  // namespace

int main() {
  loop = pa_mainloop_new();
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "floor");
  pa_context_set_state_callback(context, onState, nullptr);
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return 1;
  int result = 1;
  pa_mainloop_run(loop, &result);
  if (result != 0) std::fprintf(stderr, "floor: no server\n");
  return result;
}
