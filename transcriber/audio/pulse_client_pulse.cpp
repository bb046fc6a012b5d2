#include "audio/pulse_client_pulse.h"

#include <thread>
#include <utility>

namespace kavri::audio::pulse {

AudioError errorFromCode(int code) {
  const char* text = pa_strerror(code);
  return AudioError{kErrorDomain, code, text != nullptr ? text : "Unknown error code"};
}

AudioError contextError(pa_context* context) {
  int code = pa_context_errno(context);
  return errorFromCode(code != PA_OK ? code : PA_ERR_UNKNOWN);
}

SampleFormat sampleFormatFor(pa_sample_format_t format) {
  switch (format) {
    case PA_SAMPLE_U8:
      return SampleFormat::u8;
    case PA_SAMPLE_FLOAT32LE:
    case PA_SAMPLE_FLOAT32BE:
      return SampleFormat::float32;
    case PA_SAMPLE_S32LE:
    case PA_SAMPLE_S32BE:
    case PA_SAMPLE_S24_32LE:
    case PA_SAMPLE_S24_32BE:
      return SampleFormat::s32;
    case PA_SAMPLE_S24LE:
    case PA_SAMPLE_S24BE:
      return SampleFormat::s24;
    case PA_SAMPLE_ALAW:
    case PA_SAMPLE_ULAW:
    case PA_SAMPLE_S16LE:
    case PA_SAMPLE_S16BE:
    default:
      return SampleFormat::s16;
  }
}

pa_sample_format_t paFormatFor(SampleFormat format) {
  switch (format) {
    case SampleFormat::u8:
      return PA_SAMPLE_U8;
    case SampleFormat::s16:
      return PA_SAMPLE_S16NE;
    case SampleFormat::s24:
      return PA_SAMPLE_S24NE;
    case SampleFormat::s32:
      return PA_SAMPLE_S32NE;
    case SampleFormat::float32:
      return PA_SAMPLE_FLOAT32NE;
  }
  return PA_SAMPLE_S16NE;
}

pa_usec_t deadlineAfter(std::chrono::milliseconds timeout) {
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout);
  return pa_rtclock_now() + static_cast<pa_usec_t>(micros.count());
}

std::unique_ptr<Client> Client::connect(const std::string& appName, const Options& options,
                                        std::optional<AudioError>& error, pa_usec_t deadline) {
  std::unique_ptr<Client> client(new Client(options));
  client->setDeadline(deadline);
  client->mainloop_.reset(pa_threaded_mainloop_new());
  if (!client->mainloop_) {
    error = errorFromCode(PA_ERR_INTERNAL);
    return nullptr;
  }
  client->context_.reset(
      pa_context_new(pa_threaded_mainloop_get_api(client->mainloop_.get()), appName.c_str()));
  if (!client->context_) {
    error = errorFromCode(PA_ERR_INTERNAL);
    return nullptr;
  }
  pa_context_set_state_callback(client->context(), &Client::onContextState, client.get());
  if (pa_threaded_mainloop_start(client->mainloop()) < 0) {
    error = errorFromCode(PA_ERR_INTERNAL);
    return nullptr;
  }
  client->threadRunning_ = true;
  {
    LoopLock hold(client->mainloop());
    const char* server = options.server.empty() ? nullptr : options.server.c_str();
    if (pa_context_connect(client->context(), server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      error = client->lastError();
    } else {
      error = client->waitLocked([&] { return client->isReady(); });
    }
  }
  if (error) return nullptr;
  return client;
}

Client::~Client() {
  if (threadRunning_ && context_) {
    LoopLock hold(mainloop());
    pa_context_set_state_callback(context(), nullptr, nullptr);
    pa_context_disconnect(context());
  }
  stopThread();
  context_.reset();
  mainloop_.reset();
}

void Client::dispose(std::unique_ptr<Client> client, StreamPtr stream) {
  if (!client) return;
  if (!EventThreadScope::active()) {
    client->closeStream(stream);
    client.reset();
    return;
  }
  if (stream) client->silenceStream(stream.get());
  std::thread([owned = std::move(client), opened = std::move(stream)]() mutable {
    {
      LoopLock hold(owned->mainloop());
      opened.reset();
    }
    owned.reset();
  }).detach();
}

void Client::stopThread() {
  if (!threadRunning_) return;
  pa_threaded_mainloop_stop(mainloop());
  threadRunning_ = false;
}

bool Client::isReady() const {
  return pa_context_get_state(context()) == PA_CONTEXT_READY;
}

void Client::onContextState(pa_context*, void* self) {
  pa_threaded_mainloop_signal(static_cast<Client*>(self)->mainloop(), 0);
}

namespace {

struct TimeoutFlag {
  pa_threaded_mainloop* mainloop = nullptr;
  bool passed = false;
};

void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* flag = static_cast<TimeoutFlag*>(userdata);
  flag->passed = true;
  pa_threaded_mainloop_signal(flag->mainloop, 0);
}

}  // namespace

std::optional<AudioError> Client::waitLocked(const std::function<bool()>& done) {
  TimeoutFlag timeout;
  timeout.mainloop = mainloop();
  pa_usec_t end = deadlineAfter(options_.replyTimeout);
  if (deadline_ != 0 && deadline_ < end) end = deadline_;
  pa_time_event* timer = pa_context_rttime_new(context(), end, &onTimeout, &timeout);
  std::optional<AudioError> error;
  for (;;) {
    if (done()) break;
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context()))) {
      error = lastError();
      break;
    }
    if (timeout.passed) {
      error = errorFromCode(PA_ERR_TIMEOUT);
      break;
    }
    pa_threaded_mainloop_wait(mainloop());
  }
  // Freed under the loop lock, so the timer cannot fire into the flag once we return.
  if (timer != nullptr) pa_threaded_mainloop_get_api(mainloop())->time_free(timer);
  return error;
}

std::optional<AudioError> Client::waitForOperation(pa_operation* operation) {
  if (operation == nullptr) return lastError();
  OperationPtr owned(operation);
  auto error =
      waitLocked([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  if (error) pa_operation_cancel(operation);
  return error;
}

namespace {

// What one query's callback fills in, on the event thread, under the loop lock.
struct Query {
  pa_threaded_mainloop* mainloop = nullptr;
  bool found = false;
  int failure = PA_OK;
  std::string first;
  std::string second;
  DeviceSpec spec;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* query = static_cast<Query*>(userdata);
  if (info != nullptr) {
    query->found = true;
    if (info->default_sink_name != nullptr) query->first = info->default_sink_name;
    if (info->default_source_name != nullptr) query->second = info->default_source_name;
  }
  pa_threaded_mainloop_signal(query->mainloop, 0);
}

void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* userdata) {
  auto* query = static_cast<Query*>(userdata);
  if (eol < 0) {
    query->failure = pa_context_errno(context);
  } else if (info != nullptr) {
    query->found = true;
    query->spec.format =
        AudioFormat{sampleFormatFor(info->sample_spec.format),
                    static_cast<double>(info->sample_spec.rate), info->sample_spec.channels};
    query->spec.channelMap = info->channel_map;
  }
  pa_threaded_mainloop_signal(query->mainloop, 0);
}

void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata) {
  auto* query = static_cast<Query*>(userdata);
  if (eol < 0) {
    query->failure = pa_context_errno(context);
  } else if (info != nullptr) {
    query->found = true;
    if (info->monitor_source_name != nullptr) query->first = info->monitor_source_name;
  }
  pa_threaded_mainloop_signal(query->mainloop, 0);
}

// A lookup by name that found nothing is an answer, not a failure.
std::optional<AudioError> lookupFailure(const Query& query) {
  if (query.failure == PA_OK || query.failure == PA_ERR_NOENTITY) return std::nullopt;
  return errorFromCode(query.failure);
}

}  // namespace

std::optional<AudioError> Client::defaultDevices(std::string& sink, std::string& source) {
  LoopLock hold(mainloop());
  Query query;
  query.mainloop = mainloop();
  auto error = waitForOperation(pa_context_get_server_info(context(), &onServerInfo, &query));
  if (error) return error;
  sink = query.first;
  source = query.second;
  return std::nullopt;
}

std::optional<AudioError> Client::sourceSpec(const std::string& name, DeviceSpec& spec,
                                             bool& found) {
  LoopLock hold(mainloop());
  Query query;
  query.mainloop = mainloop();
  auto error = waitForOperation(
      pa_context_get_source_info_by_name(context(), name.c_str(), &onSourceInfo, &query));
  if (error) return error;
  if (auto failure = lookupFailure(query)) return failure;
  found = query.found;
  if (found) spec = query.spec;
  return std::nullopt;
}

std::optional<AudioError> Client::sinkMonitor(const std::string& sinkName, std::string& monitor,
                                              bool& found) {
  LoopLock hold(mainloop());
  Query query;
  query.mainloop = mainloop();
  auto error = waitForOperation(
      pa_context_get_sink_info_by_name(context(), sinkName.c_str(), &onSinkInfo, &query));
  if (error) return error;
  if (auto failure = lookupFailure(query)) return failure;
  found = query.found && !query.first.empty();
  if (found) monitor = query.first;
  return std::nullopt;
}

namespace {
void onOpeningState(pa_stream*, void* mainloop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(mainloop), 0);
}
}  // namespace

std::optional<AudioError> Client::openRecord(const RecordStream& request, StreamPtr& stream) {
  const AudioFormat& format = request.format;
  pa_sample_spec spec{};
  spec.format = paFormatFor(format.sampleFormat);
  spec.rate = format.sampleRate > 0 && format.sampleRate <= PA_RATE_MAX
                  ? static_cast<uint32_t>(format.sampleRate)
                  : 0;
  spec.channels = format.channels <= PA_CHANNELS_MAX ? static_cast<uint8_t>(format.channels) : 0;
  if (!pa_sample_spec_valid(&spec)) return errorFromCode(PA_ERR_INVALID);
  pa_channel_map standardMap;
  const pa_channel_map* map = request.channelMap;
  if (map == nullptr || map->channels != spec.channels) {
    map = pa_channel_map_init_extend(&standardMap, spec.channels, PA_CHANNEL_MAP_DEFAULT);
  }

  LoopLock hold(mainloop());
  StreamPtr opened(pa_stream_new(context(), request.name.c_str(), &spec, map));
  if (!opened) return lastError();
  pa_stream_set_state_callback(opened.get(), &onOpeningState, mainloop());

  // Without an explicit fragment size the server batches a record stream into chunks of up to
  // two seconds, which no dictation can wait for.
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = request.fragmentFrames > 0
                      ? request.fragmentFrames * static_cast<uint32_t>(format.bytesPerFrame())
                      : static_cast<uint32_t>(-1);
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
  std::optional<AudioError> error;
  if (pa_stream_connect_record(opened.get(), request.device, &attr, flags) < 0) {
    error = lastError();
  } else {
    error = waitLocked([&] {
      auto state = pa_stream_get_state(opened.get());
      return state != PA_STREAM_UNCONNECTED && state != PA_STREAM_CREATING;
    });
    if (!error && pa_stream_get_state(opened.get()) != PA_STREAM_READY) error = lastError();
  }
  if (error) {
    pa_stream_set_state_callback(opened.get(), nullptr, nullptr);
    if (pa_stream_get_state(opened.get()) != PA_STREAM_UNCONNECTED) {
      pa_stream_disconnect(opened.get());
    }
    return error;
  }
  pa_stream_set_read_callback(opened.get(), request.onRead, request.userdata);
  pa_stream_set_state_callback(opened.get(), request.onState, request.userdata);
  stream = std::move(opened);
  return std::nullopt;
}

void Client::silenceStream(pa_stream* stream) {
  LoopLock hold(mainloop());
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
}

void Client::closeStream(StreamPtr& stream) {
  if (!stream) return;
  silenceStream(stream.get());
  LoopLock hold(mainloop());
  stream.reset();
}

}  // namespace kavri::audio::pulse
