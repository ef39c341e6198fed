#pragma once

// The driver's own reading and writing of the ASIO sample types, for its WAV capture and
// WAV input. Kept apart from the host's converters on purpose: the test driver must not
// share the code it checks. Only the widths, the standard's fact, come from the one table
// in asio_convert/asio_sample_types.h.
#include <cstdint>

#include "asio_host/asio.h"

namespace asio_test {

// Bytes per sample of one of the 18 supported types; 0 for any other type.
int32_t SampleTypeBytes(ASIOSampleType type);
// The driver allocates this many bytes per sample: hosts treat every type they do not know
// as 4 bytes wide when they silence buffers.
int32_t SampleTypeStorageBytes(ASIOSampleType type);
bool IsSupportedSampleType(ASIOSampleType type);

// Full scale is -1 .. +1; integers scale by 2^(bits-1). Unsupported types read as 0 and are
// not written.
double DecodeSample(const uint8_t* sample, ASIOSampleType type);
// Rounds to the nearest step and clips at full scale.
void EncodeSample(double value, ASIOSampleType type, uint8_t* sample);

}  // namespace asio_test
