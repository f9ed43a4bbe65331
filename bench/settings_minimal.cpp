// A minimal server program: loads its settings and exits. Prints the
// CLOCK_MONOTONIC time at which the settings were loaded, for the time from
// exec to that point. With "read" it only reads config.xml instead.
//
//   settings_minimal load|read DIR
#include <cstdio>
#include <ctime>
#include <string>

#include "settings/paramdeck.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::string mode = argv[1], dir = argv[2];
  if (mode == "load") {
    if (config.parse_file(dir.c_str())) return 1;
  } else {
    FILE* f = fopen((dir + "/config.xml").c_str(), "r");
    if (!f) return 1;
    char buf[65536];
    while (fread(buf, 1, sizeof buf, f) > 0) {
    }
    fclose(f);
  }
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  printf("0 %lld\n", ts.tv_sec * 1000000000LL + ts.tv_nsec);
  return 0;
}
