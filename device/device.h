// The one header that knows whether a file is being compiled by nvcc. Bodies marked TFR_HD run
// unchanged as CUDA device code and as ordinary host code inside OpenMP loops.
#pragma once

#if defined(__CUDACC__)
#define TFR_HD __host__ __device__
#define TFR_DEVICE_PASS 1
#else
#define TFR_HD
#define TFR_DEVICE_PASS 0
#endif

#ifndef TFR_HAS_CUDA
#define TFR_HAS_CUDA 0
#endif

// A source that launches kernels must be compiled as CUDA in a CUDA build; a plain C++ file that
// did so would silently run everything on the CPU.
#if TFR_HAS_CUDA && !defined(__CUDACC__) && defined(TFR_BODY_SOURCE)
#error "this file holds solver bodies and must be compiled as CUDA in a CUDA build"
#endif
