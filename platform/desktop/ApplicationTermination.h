#pragma once

#include <functional>

namespace velmo {

// How the application ends on request (the Quit button, the X server going away): the
// application entry says what ending means (the delegate's termination step, then the main
// loop's stop path with an exit status); the requests come from anywhere.
class ApplicationTermination {
public:
    using Handler = std::function<void(int exitStatus)>;

    // Null: none, and requests do nothing.
    static void setHandler(Handler handler);
    // Runs the handler on a later turn of the main loop. Callable from any thread.
    static void terminate(int exitStatus = 0);
};

}  // namespace velmo
