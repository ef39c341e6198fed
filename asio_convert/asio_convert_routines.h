#pragma once

#include <cstdint>

// Every converter and clip routine by name. Included by asio_convert.h.

// Driver format to float (input) and float to driver format (output), per sample type.
void Int16MSBToSingle(const void* source, float* destination, int32_t count);
void Int16MSBToDouble(const void* source, double* destination, int32_t count);
void SingleToInt16MSB(const float* source, void* destination, int32_t count);
void DoubleToInt16MSB(const double* source, void* destination, int32_t count);
void Int24MSBToSingle(const void* source, float* destination, int32_t count);
void Int24MSBToDouble(const void* source, double* destination, int32_t count);
void SingleToInt24MSB(const float* source, void* destination, int32_t count);
void DoubleToInt24MSB(const double* source, void* destination, int32_t count);
void Int32MSBToSingle(const void* source, float* destination, int32_t count);
void Int32MSBToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32MSB(const float* source, void* destination, int32_t count);
void DoubleToInt32MSB(const double* source, void* destination, int32_t count);
void Float32MSBToSingle(const void* source, float* destination, int32_t count);
void Float32MSBToDouble(const void* source, double* destination, int32_t count);
void SingleToFloat32MSB(const float* source, void* destination, int32_t count);
void DoubleToFloat32MSB(const double* source, void* destination, int32_t count);
void Float64MSBToSingle(const void* source, float* destination, int32_t count);
void Float64MSBToDouble(const void* source, double* destination, int32_t count);
void SingleToFloat64MSB(const float* source, void* destination, int32_t count);
void DoubleToFloat64MSB(const double* source, void* destination, int32_t count);
void Int32MSB16ToSingle(const void* source, float* destination, int32_t count);
void Int32MSB16ToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32MSB16(const float* source, void* destination, int32_t count);
void DoubleToInt32MSB16(const double* source, void* destination, int32_t count);
void Int32MSB18ToSingle(const void* source, float* destination, int32_t count);
void Int32MSB18ToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32MSB18(const float* source, void* destination, int32_t count);
void DoubleToInt32MSB18(const double* source, void* destination, int32_t count);
void Int32MSB20ToSingle(const void* source, float* destination, int32_t count);
void Int32MSB20ToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32MSB20(const float* source, void* destination, int32_t count);
void DoubleToInt32MSB20(const double* source, void* destination, int32_t count);
void Int32MSB24ToSingle(const void* source, float* destination, int32_t count);
void Int32MSB24ToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32MSB24(const float* source, void* destination, int32_t count);
void DoubleToInt32MSB24(const double* source, void* destination, int32_t count);
void Int16LSBToSingle(const void* source, float* destination, int32_t count);
void Int16LSBToDouble(const void* source, double* destination, int32_t count);
void SingleToInt16LSB(const float* source, void* destination, int32_t count);
void DoubleToInt16LSB(const double* source, void* destination, int32_t count);
void Int24LSBToSingle(const void* source, float* destination, int32_t count);
void Int24LSBToDouble(const void* source, double* destination, int32_t count);
void SingleToInt24LSB(const float* source, void* destination, int32_t count);
void DoubleToInt24LSB(const double* source, void* destination, int32_t count);
void Int32LSBToSingle(const void* source, float* destination, int32_t count);
void Int32LSBToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32LSB(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB(const double* source, void* destination, int32_t count);
void Float32LSBToSingle(const void* source, float* destination, int32_t count);
void Float32LSBToDouble(const void* source, double* destination, int32_t count);
void SingleToFloat32LSB(const float* source, void* destination, int32_t count);
void DoubleToFloat32LSB(const double* source, void* destination, int32_t count);
void Float64LSBToSingle(const void* source, float* destination, int32_t count);
void Float64LSBToDouble(const void* source, double* destination, int32_t count);
void SingleToFloat64LSB(const float* source, void* destination, int32_t count);
void DoubleToFloat64LSB(const double* source, void* destination, int32_t count);
void Int32LSB16ToSingle(const void* source, float* destination, int32_t count);
void Int32LSB16ToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32LSB16(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB16(const double* source, void* destination, int32_t count);
void Int32LSB18ToSingle(const void* source, float* destination, int32_t count);
void Int32LSB18ToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32LSB18(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB18(const double* source, void* destination, int32_t count);
void Int32LSB20ToSingle(const void* source, float* destination, int32_t count);
void Int32LSB20ToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32LSB20(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB20(const double* source, void* destination, int32_t count);
void Int32LSB24ToSingle(const void* source, float* destination, int32_t count);
void Int32LSB24ToDouble(const void* source, double* destination, int32_t count);
void SingleToInt32LSB24(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB24(const double* source, void* destination, int32_t count);

// Output with dither noise of at most half a step: rectangular (_UDF, one draw per sample)
// or triangular (_TDF, two draws per sample). The Int24LSB ones walk the block forwards, the
// others backwards; noise is drawn in walking order.
void SingleToInt16LSB_UDF(const float* source, void* destination, int32_t count);
void DoubleToInt16LSB_UDF(const double* source, void* destination, int32_t count);
void SingleToInt16LSB_TDF(const float* source, void* destination, int32_t count);
void DoubleToInt16LSB_TDF(const double* source, void* destination, int32_t count);
void SingleToInt24LSB_UDF(const float* source, void* destination, int32_t count);
void DoubleToInt24LSB_UDF(const double* source, void* destination, int32_t count);
void SingleToInt24LSB_TDF(const float* source, void* destination, int32_t count);
void DoubleToInt24LSB_TDF(const double* source, void* destination, int32_t count);
void SingleToInt32LSB16_UDF(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB16_UDF(const double* source, void* destination, int32_t count);
void SingleToInt32LSB16_TDF(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB16_TDF(const double* source, void* destination, int32_t count);
void SingleToInt32LSB18_UDF(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB18_UDF(const double* source, void* destination, int32_t count);
void SingleToInt32LSB18_TDF(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB18_TDF(const double* source, void* destination, int32_t count);
void SingleToInt32LSB20_UDF(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB20_UDF(const double* source, void* destination, int32_t count);
void SingleToInt32LSB20_TDF(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB20_TDF(const double* source, void* destination, int32_t count);
void SingleToInt32LSB24_UDF(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB24_UDF(const double* source, void* destination, int32_t count);
void SingleToInt32LSB24_TDF(const float* source, void* destination, int32_t count);
void DoubleToInt32LSB24_TDF(const double* source, void* destination, int32_t count);

// The single-precision variants of the little-endian 32-bit formats that the 3DNow
// selection installs: single-precision arithmetic, 2^-31 as the Int32LSB input scale and
// 2^31 as its output scale, and output by truncation toward zero with saturation.
void Int32LSBToSingle_3DNow(const void* source, float* destination, int32_t count);
void SingleToInt32LSB_3DNow(const float* source, void* destination, int32_t count);
void Int32LSB16ToSingle_3DNow(const void* source, float* destination, int32_t count);
void SingleToInt32LSB16_3DNow(const float* source, void* destination, int32_t count);
void Int32LSB18ToSingle_3DNow(const void* source, float* destination, int32_t count);
void SingleToInt32LSB18_3DNow(const float* source, void* destination, int32_t count);
void Int32LSB20ToSingle_3DNow(const void* source, float* destination, int32_t count);
void SingleToInt32LSB20_3DNow(const float* source, void* destination, int32_t count);
void Int32LSB24ToSingle_3DNow(const void* source, float* destination, int32_t count);
void SingleToInt32LSB24_3DNow(const float* source, void* destination, int32_t count);

// In-place clipping. Digital: a hard limit to ±1. Analog: y = 2x(3+|x|) / (|x|(3+|x|)+6),
// slope 1 at 0, ±0.8 at ±1, tending to ±2.
void ClipDigitalSingle(float* samples, int32_t count);
void ClipDigitalDouble(double* samples, int32_t count);
void ClipAnalogSingle(float* samples, int32_t count);
void ClipAnalogDouble(double* samples, int32_t count);
// Blocks of 16 (digital, max(min(x, 1), -1)) or 4 (analog, in single precision); the rest
// of the block as the plain digital routine, or one by one with the same single formula.
void ClipDigitalSingle_SSE(float* samples, int32_t count);
void ClipAnalogSingle_SSE(float* samples, int32_t count);
