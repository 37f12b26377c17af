#include "endpoints/flow_cache.h"

#include <memory>

namespace kolvex {
namespace {

void add_endpoints(AudioDeviceEnumerator& enumerator, DataFlow flow, FlowLabel label,
                   EndpointFlowCache& cache) {
  Result<std::unique_ptr<AudioEndpointList>> endpoints =
      enumerator.endpoints(flow, ENDPOINT_STATE_MASK_ALL);
  if (!endpoints) return;
  Result<std::uint32_t> count = (*endpoints)->count();
  if (!count) return;
  for (std::uint32_t i = 0; i < *count; ++i) {
    Result<std::unique_ptr<AudioEndpoint>> endpoint = (*endpoints)->item(i);
    if (!endpoint) continue;
    Result<std::string> id = (*endpoint)->id();
    if (!id) continue;
    cache.insert_or_assign(std::move(*id), label);
  }
}

}  // namespace

EndpointFlowCache build_flow_cache(AudioDeviceEnumerator& enumerator) {
  EndpointFlowCache cache;
  add_endpoints(enumerator, DataFlow::capture, FlowLabel::capture, cache);
  add_endpoints(enumerator, DataFlow::render, FlowLabel::render, cache);
  return cache;
}

FlowLabel resolve_flow(AudioDeviceEnumerator& enumerator, const EndpointFlowCache& cache,
                       std::string_view device_id) {
  if (auto it = cache.find(std::string(device_id)); it != cache.end()) return it->second;
  Result<std::unique_ptr<AudioEndpoint>> device = enumerator.device(device_id);
  if (!device) return FlowLabel::unknown;
  Result<std::int32_t> flow = (*device)->data_flow();
  if (!flow) return FlowLabel::unknown;
  switch (*flow) {
    case static_cast<std::int32_t>(DataFlow::capture):
      return FlowLabel::capture;
    case static_cast<std::int32_t>(DataFlow::render):
      return FlowLabel::render;
    default:
      return FlowLabel::unknown;
  }
}

}  // namespace kolvex
