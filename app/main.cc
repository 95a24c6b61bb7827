// Process entry of the installer (app/setup_main.h), on the real system.
#include "app/setup_main.h"
#include "platform/system_api.h"

int main(int argc, char** argv) {
  return SetupMain(RealSystem(), argc, argv);
}
