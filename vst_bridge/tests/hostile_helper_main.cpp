// A helper that breaks the protocol on purpose, for the tests of the plug-in's side: the
// real helper's work, then its control replies bent as PARTILOOM_HOSTILE_HELPER (a number,
// the kBend... bits below) says.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vst_bridge/helper/helper_host.h"
#include "vst_bridge/tests/hostile_helper.h"

namespace {

uint32_t g_bends = 0;

void Bend(uint32_t request, vst_bridge::TMessage& reply, uint8_t* data, size_t capacity) noexcept {
  using namespace vst_bridge;
  if ((g_bends & kBendChunkPieceBeyondArea) && request == kGetBulk && reply.size > 0)
    reply.size = static_cast<uint32_t>(4 * capacity);
  if ((g_bends & kBendChunkTooLargeWithinLimit) && request == kDispatch &&
      reply.opcode == effGetChunk) {
    reply.flags = kReplyChunkTooLarge;
    reply.result = 100;
  }
  if ((g_bends & kBendMillionSpeakers) && request == kDispatch &&
      reply.opcode == kEffGetSpeakerArrangement) {
    const int32_t million = 1000000;
    for (size_t at = 0; at < 2 * kSpeakerArrangementBytes; at += kSpeakerArrangementBytes)
      std::memcpy(data + at + 4, &million, sizeof million);
    reply.size = static_cast<uint32_t>(2 * kSpeakerArrangementBytes);
    reply.result = 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (const char* bends = std::getenv("PARTILOOM_HOSTILE_HELPER"))
    g_bends = static_cast<uint32_t>(std::strtoul(bends, nullptr, 10));
  std::string error;
  const auto parent = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  std::unique_ptr<vst_bridge::THelperHost> host =
      vst_bridge::THelperHost::Connect(argv[1], parent, &error);
  if (!host) {
    std::fprintf(stderr, "hostile helper: %s\n", error.c_str());
    return 1;
  }
  host->SetReplyFilter(&Bend);
  host->Run();
  std::fflush(nullptr);
  std::_Exit(0);
}
