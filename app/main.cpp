// Entry point: one delegate, installed on the application, owned for the run.
#include <cstdio>

#include "app/app_delegate.h"

int main(int argc, char** argv) {
    auto [platform, failure] = jaunvel::makePlatform(argc, argv);
    if (!platform) {
        // Before anything is started, the one line the terminal gets from the shell.
        std::fputs((jaunvel::startFailureMessage(failure) + "\n").c_str(), stderr);
        return 1;
    }
    auto delegate = std::make_shared<jaunvel::AppDelegate>(*platform);
    platform->application().setDelegate(delegate);
    platform->application().run();
    delegate.reset();
    return 0;
}
