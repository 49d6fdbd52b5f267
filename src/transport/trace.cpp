#include "transport/trace.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

#include "base/text.h"

namespace mox3 {

namespace {

std::string Escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        if (static_cast<unsigned char>(c) < 0x20) continue;
        out.push_back(c);
    }
    return out;
}

struct Sink {
    std::shared_ptr<std::ostream> out;
    std::mutex mutex;
};

class TracingDevice : public PassThroughDevice {
  public:
    TracingDevice(std::unique_ptr<PassThroughDevice> inner, std::shared_ptr<Sink> sink)
        : inner_(std::move(inner)), sink_(std::move(sink)) {}

    bool Send(const ScsiRequest& request, ScsiReply& reply) override {
        bool delivered = inner_->Send(request, reply);
        static constexpr const char* kDirections[] = {"out", "in", "none"};
        std::string line =
            "{\"device\":\"" + Escaped(Utf16ToUtf8(inner_->Name())) + "\",\"cdb\":\"" +
            HexString({request.cdb.data(), request.cdbLength}, HexDigits::Lower) +
            "\",\"direction\":\"" + kDirections[static_cast<int>(request.direction) % 3] +
            "\",\"length\":" + std::to_string(request.length) +
            ",\"delivered\":" + (delivered ? "true" : "false");
        if (delivered) {
            line += ",\"status\":" + std::to_string(reply.status) + ",\"sense\":\"" +
                    HexString(reply.sense, HexDigits::Lower) + "\"";
        }
        std::size_t shown =
            request.data ? std::min<std::size_t>(request.length, kTraceDataBytes) : 0;
        line += ",\"data\":\"" + HexString({request.data, shown}, HexDigits::Lower) + "\"}\n";
        std::lock_guard lock(sink_->mutex);
        *sink_->out << line << std::flush;
        return delivered;
    }
    std::u16string Name() const override { return inner_->Name(); }

  private:
    std::unique_ptr<PassThroughDevice> inner_;
    std::shared_ptr<Sink> sink_;
};

class TracingBackend : public PassThroughBackend {
  public:
    TracingBackend(std::shared_ptr<PassThroughBackend> inner, std::shared_ptr<Sink> sink)
        : inner_(std::move(inner)), sink_(std::move(sink)) {}
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        auto device = inner_->Open(path, error);
        if (!device) return nullptr;
        return std::make_unique<TracingDevice>(std::move(device), sink_);
    }

  private:
    std::shared_ptr<PassThroughBackend> inner_;
    std::shared_ptr<Sink> sink_;
};

}  // namespace

std::shared_ptr<PassThroughBackend> MakeTracingBackend(std::shared_ptr<PassThroughBackend> inner,
                                                       std::shared_ptr<std::ostream> out) {
    auto sink = std::make_shared<Sink>();
    sink->out = std::move(out);
    return std::make_shared<TracingBackend>(std::move(inner), std::move(sink));
}

}  // namespace mox3
