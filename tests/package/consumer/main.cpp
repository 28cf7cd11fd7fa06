// Creates the driver through GeTDriver, from the public header alone, on COM 200, which
// scripts/package-test maps to a device that does not exist: the driver's error must
// arrive as a vexcard::Exception. Exit 0 when it does.
#include <vexcard/exception.h>
#include <vexcard/host_interface.h>

#include <cstdio>

int main() {
  try {
    vexcard::HostObject* driver = vexcard::GeTDriver(200);
    vexcard::hostDestructor(driver)(driver);
    std::puts("consumer: GeTDriver(200) unexpectedly succeeded");
    return 1;
  } catch (const vexcard::Exception& e) {
    std::printf("consumer: GeTDriver(200) raised as expected: %s\n", e.what());
    return 0;
  }
}
