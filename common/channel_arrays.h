#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

// Sample buffers of several channels of equal length. The samples of all channels share
// one block; `Data()` is an array of pointers to each channel's first sample, exactly the
// array of channel pointers an effect's process routine takes.
template <typename Sample>
class TChannelArrays {
 public:
  TChannelArrays() = default;
  TChannelArrays(size_t channels, size_t samples) { SetSize(channels, samples); }

  TChannelArrays(const TChannelArrays& other)
      : samples_(other.samples_), length_(other.length_), pointers_(other.pointers_.size()) {
    RebuildPointers();
  }
  TChannelArrays& operator=(const TChannelArrays& other) {
    if (this != &other) {
      samples_ = other.samples_;
      length_ = other.length_;
      pointers_.resize(other.pointers_.size());
      RebuildPointers();
    }
    return *this;
  }
  // Moving a vector keeps its storage, so the channel pointers stay valid.
  TChannelArrays(TChannelArrays&& other) noexcept
      : samples_(std::move(other.samples_)),
        length_(std::exchange(other.length_, 0)),
        pointers_(std::move(other.pointers_)) {
    other.pointers_.clear();
  }
  TChannelArrays& operator=(TChannelArrays&& other) noexcept {
    samples_ = std::move(other.samples_);
    length_ = std::exchange(other.length_, 0);
    pointers_ = std::move(other.pointers_);
    other.samples_.clear();
    other.pointers_.clear();
    return *this;
  }

  size_t ChannelCount() const noexcept { return pointers_.size(); }
  size_t SampleCount() const noexcept { return length_; }

  // Resizes both dimensions. Samples inside the old and the new size keep their values;
  // everything that grows is zero. Allocates only when a dimension changes.
  void SetSize(size_t channels, size_t samples) {
    if (channels == pointers_.size() && samples == length_) return;
    if (samples != length_) {
      std::vector<Sample> resized(channels * samples, Sample(0));
      const size_t kept_channels = std::min(channels, pointers_.size());
      const size_t kept_samples = std::min(samples, length_);
      for (size_t c = 0; c < kept_channels; ++c) {
        std::copy_n(samples_.begin() + c * length_, kept_samples, resized.begin() + c * samples);
      }
      samples_.swap(resized);
      length_ = samples;
    } else {
      samples_.resize(channels * samples, Sample(0));
    }
    pointers_.resize(channels);
    RebuildPointers();
  }
  void SetChannelCount(size_t channels) { SetSize(channels, length_); }
  void SetSampleCount(size_t samples) { SetSize(pointers_.size(), samples); }

  void Clear() noexcept { std::fill(samples_.begin(), samples_.end(), Sample(0)); }

  Sample* operator[](size_t channel) noexcept { return pointers_[channel]; }
  const Sample* operator[](size_t channel) const noexcept { return pointers_[channel]; }

  Sample** Data() noexcept { return pointers_.data(); }
  const Sample* const* Data() const noexcept { return pointers_.data(); }

 private:
  void RebuildPointers() noexcept {
    for (size_t c = 0; c < pointers_.size(); ++c) pointers_[c] = samples_.data() + c * length_;
  }

  std::vector<Sample> samples_;
  size_t length_ = 0;
  std::vector<Sample*> pointers_;
};

using TSingleChannelArrays = TChannelArrays<float>;
using TDoubleChannelArrays = TChannelArrays<double>;
