// Entry point: one delegate, installed on the application, owned for the run.
#include "app/app_delegate.h"

int main(int argc, char** argv) {
    auto platform = jaunvel::makePlatform(argc, argv);
    auto delegate = std::make_shared<jaunvel::AppDelegate>(*platform);
    platform->application().setDelegate(delegate);
    platform->application().run();
    delegate.reset();
    return 0;
}
