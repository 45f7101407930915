// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "keypad_commands.h"
#include "keypad_json.h"
#include "text_util.h"

#ifdef QN480_HAVE_STATION
#include "keypad_client.h"
#endif

namespace qn480::cli {

#ifdef QN480_HAVE_STATION
namespace {

using Json = nlohmann::json;

int codeOf(const std::string &status)
{
    return status == "ok" ? kExitSuccess : status == "error" ? kExitNoAnswer : kExitReaderError;
}

// "send_time, add" for the settings whose values differ.
std::string changedKeys(const Json &response)
{
    const Json from = response.value("from", Json::object());
    const Json to = response.value("to", Json::object());
    std::string names;
    for (const auto &[key, value] : to.items()) {
        if (key == "errors" || key.ends_with("_ms") || from.value(key, Json()) == value)
            continue;
        names += (names.empty() ? "" : ", ") + key;
    }
    return names.empty() ? "none" : names;
}

} // namespace

int runRemoteKeypad(const Options &options, const std::optional<KeypadPatch> &profile,
                    std::ostream &out, std::ostream &err)
{
    Json request = Json::object();
    request["id"] = "qn480ctl";
    const std::optional<KeypadPatch> changes =
        options.command == Command::KeypadSet ? std::optional(options.keypad) : profile;
    request["op"] = options.command == Command::KeypadGet        ? "get"
                    : options.command == Command::KeypadDefaults ? "defaults"
                                                                 : "set";
    if (changes)
        request["settings"] = patchJson(*changes);

    try {
        station::KeypadClient client({station::brokerLogin(options.mqtt),
                                      options.timeout.value_or(std::chrono::milliseconds(10000))});
        if (options.fleet) {
            const auto answers = client.fleet(
                options.clear ? std::nullopt : std::optional<Json>(request["settings"]));
            if (options.clear)
                return kExitSuccess;
            if (answers.empty())
                return tell(err, kExitNoStation, "no station answered within the time-out");
            int code = kExitSuccess;
            for (const auto &answer : answers) {
                const std::string status = answer.response.value("status", "error");
                out << answer.reader << " " << status << " "
                    << (status == "ok" ? "changed: " + changedKeys(answer.response)
                                       : escapedText(answer.response.value("error", "")))
                    << std::endl;
                if (status != "ok")
                    code = kExitReaderError;
            }
            return code;
        }
        const auto response = client.request(options.mqtt.reader, request);
        if (!response)
            return tell(err, kExitNoStation,
                        "no station answered for the reader " + options.mqtt.reader +
                            " within the time-out");
        const std::string status = response->value("status", "error");
        if (status != "ok")
            err << kProgram << escapedText(response->value("error", status)) << std::endl;
        if (response->contains("to")) {
            const KeypadReading read = keypadFromJson((*response)["to"]);
            out << keypadReport(read.settings, read.errors, options.json) << std::endl;
        }
        return codeOf(status);
    } catch (const station::ConnectionError &error) {
        return tell(err, kExitNoStation, "--mqtt: " + escapedText(error.what()));
    }
}

#else
int runRemoteKeypad(const Options &, const std::optional<KeypadPatch> &, std::ostream &,
                    std::ostream &err)
{
    return tell(err, kExitUsage, "--mqtt: this build of qn480ctl has no MQTT client");
}
#endif

} // namespace qn480::cli
