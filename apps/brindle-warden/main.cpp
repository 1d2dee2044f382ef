// brindle-warden: the QQ group-moderation robot as a Linux service.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--version") == 0)) {
    std::printf("brindle-warden %s\n", BW_VERSION);
    return 0;
  }
  std::printf("brindle-warden %s: the service is not built yet; try --version\n", BW_VERSION);
  return 0;
}
