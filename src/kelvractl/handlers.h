// handlers.h - what each command does, in terms of the Backend; the command table points here.
#ifndef KELVRACTL_HANDLERS_H
#define KELVRACTL_HANDLERS_H

namespace kelvractl {

class Backend;
struct Options;

int run_discover(Backend &backend, const Options &options);
int run_enroll(Backend &backend, const Options &options);
int run_verify(Backend &backend, const Options &options);
int run_identify(Backend &backend, const Options &options);
int run_search(Backend &backend, const Options &options);
int run_list(Backend &backend, const Options &options);
int run_clean(Backend &backend, const Options &options);
int run_demo(Backend &backend, const Options &options);
int run_finger(Backend &backend, const Options &options);
int run_replay(Backend &backend, const Options &options);
int run_help(Backend &backend, const Options &options);

}  // namespace kelvractl

#endif
