// GET /v1/ports/detect: the registers on the serial devices present, as the server's detector
// finds them. The route only turns the typed records into JSON.
#include "http/http_front.h"
#include "http/http_reply.h"
#include "http/port_detection.h"

namespace vsk {

const char* ResultWord(DetectedDevice::Result result) {
    switch (result) {
        case DetectedDevice::Result::Found:
            return "found";
        case DetectedDevice::Result::Busy:
            return "busy";
        case DetectedDevice::Result::NoAnswer:
            return "no answer";
        case DetectedDevice::Result::NotRegister:
            return "not a register";
        case DetectedDevice::Result::CannotOpen:
            break;
    }
    return "cannot open";
}

namespace {

Json DeviceJson(const DetectedDevice& d) {
    Json j;
    j.Set("device", d.device);
    const bool found = d.result == DetectedDevice::Result::Found;
    j.Set("found", found);
    if (found) {
        j.Set("model", d.model);
        j.Set("serial", d.serial);
        j.Set("fiscalNumber", d.fiscalNumber);
        j.Set("firmware", d.firmware);
        j.Set("baud", int64_t(d.baud));
    } else {
        j.Set("reason", ResultWord(d.result));
    }
    if (!d.detail.empty())
        j.Set("detail", d.detail);
    j.Set("port", d.port ? Json(*d.port) : Json());
    j.Set("stableName", d.stableName.empty() ? Json() : Json(d.stableName));
    return j;
}

}  // namespace

HttpReply CHttpFront::Detect(const Request& request, int) {
    if (!m_options.detector)
        return ErrorReply(Fault::NoRoute, "nothing at " + request.path);
    std::optional<std::vector<DetectedDevice>> devices = m_options.detector->Detect();
    if (!devices)
        return ErrorReply(Fault::LockTimeout,
                          "another detection of the serial devices is under way");
    Json::Array list;
    for (const DetectedDevice& d : *devices)
        list.push_back(DeviceJson(d));
    Json body;
    body.Set("devices", std::move(list));
    return JsonReply(200, body);
}

}  // namespace vsk
