#pragma once

// The crossover as a VST 2 effect: the effect record, its dispatcher, parameters, programs
// and chunks, and the two replacing process routines.
//
// Threads: parameters may be set and read from any thread while another processes (they
// are atomics; processing takes no lock). Dispatcher requests come from one thread at a
// time; sample rate, block size and resume come while processing is stopped, as VST 2
// hosts do.
#include <array>
#include <atomic>
#include <memory>
#include <vector>

#include "crossover/crossover_dsp.h"
#include "crossover/crossover_params.h"
#include "vst_host/vst_types.h"

namespace crossover {

constexpr VstInt32 kUniqueId = FourCharToLong('P', 'l', 'X', 'o');
constexpr VstInt32 kEffectVersion = 1000;

class TCrossoverEditor;

class TCrossoverEffect {
 public:
  explicit TCrossoverEffect(audioMasterCallback host);
  ~TCrossoverEffect();
  TCrossoverEffect(const TCrossoverEffect&) = delete;
  TCrossoverEffect& operator=(const TCrossoverEffect&) = delete;

  AEffect* Record() { return &effect_; }

  VstIntPtr Dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);
  void SetParameter(VstInt32 index, float value);
  float GetParameter(VstInt32 index) const;
  template <typename Sample>
  void Process(Sample** inputs, Sample** outputs, VstInt32 frames);

  // A change the user made in the editor: applied, and reported to the host.
  void EditParameter(int index, float value);
  TParamValues Values() const;
  double SampleRate() const { return engine_.SampleRate(); }

 private:
  void StoreLiveProgram();
  void LoadLiveProgram();
  VstIntPtr GetChunk(bool program, void** data);
  VstIntPtr SetChunk(bool program, const void* data, VstIntPtr size);

  AEffect effect_{};
  audioMasterCallback host_;
  std::array<std::atomic<float>, kParamCount> values_{};
  // Bumped after every parameter change; processing re-reads the values when it moves.
  std::atomic<uint32_t> revision_{1};
  uint32_t seen_revision_ = 0;
  TCrossoverEngine engine_;
  std::array<TProgram, kProgramCount> programs_;
  int current_program_ = 0;
  std::vector<uint8_t> chunk_;  // what effGetChunk handed out, until the next request
  ERect editor_rect_{};
#if defined(_WIN32)
  std::unique_ptr<TCrossoverEditor> editor_;
#endif
};

// The entry routine's work: a new effect record (freed by effClose).
AEffect* CreateCrossoverEffect(audioMasterCallback host);

}  // namespace crossover
