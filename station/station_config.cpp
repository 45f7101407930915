// SPDX-License-Identifier: GPL-3.0-or-later
#include "station.h"

#include <cstdlib>

namespace qn480::station {

StationConfig stationConfig(const StationOptions &options, const std::string &device,
                            const std::string &version)
{
    StationConfig config;
    config.login = brokerLogin(options);
    config.reader = std::string(checkTopicText(
        options.reader.empty() ? defaultReaderName(device) : checkReaderName(options.reader),
        "the reader name"));
    config.spoolDir = options.spool.empty()
                          ? std::filesystem::path(defaultSpoolDir(
                                config.reader, std::getenv("XDG_STATE_HOME"), std::getenv("HOME")))
                          : std::filesystem::path(options.spool);
    config.haDiscovery = options.haDiscovery;
    config.version = version;
    config.uidMaxAge = options.uidMaxAge;
    config.remoteKeypad = options.remoteKeypad;
    return config;
}

BrokerSession::Settings Station::sessionSettings(const StationConfig &config, std::string willTopic)
{
    return {config.login,      "qn480-" + config.reader, config.reader,        std::move(willTopic),
            config.firstRetry, config.lastRetry,         config.connectTimeout};
}

} // namespace qn480::station
