// SPDX-License-Identifier: GPL-3.0-or-later
#include "announcements.h"

#include <nlohmann/json.hpp>

#include <ctime>

namespace qn480::station {

namespace {

// ISO 8601, UTC, to the second.
std::string isoTime(std::chrono::system_clock::time_point time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace

std::string diagnosticsJson(const Diagnostics &d, std::chrono::system_clock::time_point now)
{
    using namespace std::chrono;
    nlohmann::ordered_json json;
    json["waiting"] = d.waiting;
    if (d.oldestTimeMs) {
        const system_clock::time_point oldest{milliseconds(*d.oldestTimeMs)};
        json["oldest_waiting"] = isoTime(oldest);
        json["oldest_age_s"] =
            std::max<std::int64_t>(0, duration_cast<seconds>(now - oldest).count());
    } else {
        json["oldest_waiting"] = nullptr;
        json["oldest_age_s"] = nullptr;
    }
    json["dropped"] = d.dropped;
    json["refused"] = d.refused;
    json["last_error"] =
        d.lastError.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(d.lastError);
    json["connected_since"] =
        d.connectedSince ? nlohmann::ordered_json(isoTime(*d.connectedSince)) : nullptr;
    if (!d.spool.empty())
        json["spool"] = d.spool;
    json["version"] = d.version;
    return json.dump();
}

std::vector<std::pair<std::string, std::string>>
homeAssistantConfigs(const std::string &base, const std::string &reader, const std::string &version)
{
    nlohmann::ordered_json device;
    device["identifiers"] = {"qn480_" + reader};
    device["name"] = "QN480 " + reader;
    device["model"] = "QN480";
    device["sw_version"] = version;

    std::vector<std::pair<std::string, std::string>> configs;
    nlohmann::ordered_json tag;
    tag["topic"] = base + "/uid";
    tag["device"] = device;
    configs.emplace_back("homeassistant/tag/" + reader + "/config", tag.dump());

    // The status says "online dropped=N" once the spool has dropped events: its first word
    // is the availability.
    const auto sensor = [&](const std::string &object, const std::string &name) {
        nlohmann::ordered_json config;
        config["name"] = name;
        config["unique_id"] = "qn480_" + reader + "_" + object;
        config["availability_topic"] = base + "/status";
        config["availability_template"] = "{{ value.split(' ')[0] }}";
        config["payload_available"] = "online";
        config["payload_not_available"] = "offline";
        config["device"] = device;
        return config;
    };
    nlohmann::ordered_json lastCard = sensor("last_card", "Last card");
    lastCard["state_topic"] = base + "/uid";
    lastCard["icon"] = "mdi:card-account-details";
    configs.emplace_back("homeassistant/sensor/" + reader + "_last_card/config", lastCard.dump());

    nlohmann::ordered_json depth = sensor("spool_depth", "Spool depth");
    depth["state_topic"] = base + "/diagnostics";
    depth["value_template"] = "{{ value_json.waiting }}";
    depth["unit_of_measurement"] = "events";
    depth["state_class"] = "measurement";
    depth["entity_category"] = "diagnostic";
    configs.emplace_back("homeassistant/sensor/" + reader + "_spool_depth/config", depth.dump());
    return configs;
}

} // namespace qn480::station
