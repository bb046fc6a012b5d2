// Entry point of kavri-transcribe: the real backends of this platform, handed to the start-up that
// the tests share.
#include "platform.h"
#include "transcriber.h"

int main(int argc, char** argv) {
  kavri::runTranscriber(argc, argv, kavri::makePlatform());
}
