#define TFR_BODY_SOURCE
#include "device/launch_graph.h"

#if TFR_DEVICE_PASS
#include <cuda_runtime.h>
#endif

namespace tf {

// ---- launch graphs ----------------------------------------------------------------------------

bool LaunchGraph::BeginRecording(const Exec& ex) {
#if TFR_DEVICE_PASS
  // Thread-local capture: another thread's work on the legacy stream does not break the recording.
  if (cudaStreamBeginCapture(StreamOf(ex), cudaStreamCaptureModeThreadLocal) != cudaSuccess) {
    cudaGetLastError();
    return false;
  }
  SetRecordingOnThisThread(true);
  return true;
#else
  (void)ex;
  return false;
#endif
}

bool LaunchGraph::EndRecording(const Exec& ex) {
#if TFR_DEVICE_PASS
  SetRecordingOnThisThread(false);
  cudaGraph_t graph = nullptr;
  if (cudaStreamEndCapture(StreamOf(ex), &graph) != cudaSuccess || graph == nullptr) {
    cudaGetLastError();
    if (graph != nullptr) cudaGraphDestroy(graph);
    return false;
  }
  cudaGraphExec_t exec = nullptr;
  const cudaError_t made = cudaGraphInstantiate(&exec, graph, 0);
  cudaGraphDestroy(graph);
  if (made != cudaSuccess) {
    cudaGetLastError();
    return false;
  }
  graph_ = exec;
  return true;
#else
  (void)ex;
  return false;
#endif
}

void LaunchGraph::Replay(const Exec& ex, const char* label) {
  NoteLaunch(label);
#if TFR_DEVICE_PASS
  cudaGraphLaunch(static_cast<cudaGraphExec_t>(graph_), StreamOf(ex));
#else
  (void)ex;
#endif
}

void LaunchGraph::Reset() {
#if TFR_DEVICE_PASS
  if (graph_ != nullptr) cudaGraphExecDestroy(static_cast<cudaGraphExec_t>(graph_));
#endif
  graph_ = nullptr;
  failed_ = false;
}

}  // namespace tf
