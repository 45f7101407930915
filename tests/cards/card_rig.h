// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A card page without a window: a view that records what the procedures show, and a rig
// that runs a procedure against the scripted reader for a given number of passes.
#include "card_view.h"
#include "fake_reader.h"
#include "link.h"

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qn480::testing {

class RecordingView final : public CardView
{
public:
    void setStatus(const std::string &text) override
    {
        m_status = text;
        statusLog.push_back(text);
    }
    std::string status() const override { return m_status; }
    void setHint(const std::string &text) override { m_hint = text; }
    std::string hint() const override { return m_hint; }

    void setBoxText(CardBox box, const std::string &text) override
    {
        if (failOnBox == box) {
            failOnBox.reset();
            throw std::runtime_error("box refused the text");
        }
        m_boxes[box] = text;
        boxLog.emplace_back(box, text);
    }
    std::string boxText(CardBox box) const override
    {
        const auto it = m_boxes.find(box);
        return it == m_boxes.end() ? std::string() : it->second;
    }

    // 'Y' yellow, 'W' window colour, 'H' hidden.
    void showIndicator(bool yellow) override
    {
        indicator += yellow ? 'Y' : 'W';
        if (onIndicator)
            onIndicator();
    }
    void hideIndicator() override { indicator += 'H'; }

    // +page for a begin, -page for an end.
    void beginRun(int page) override { runLog.push_back(page); }
    void endRun(int page) override { runLog.push_back(-page); }

    std::vector<std::string> statusLog;
    std::vector<std::pair<CardBox, std::string>> boxLog;
    std::string indicator;
    std::vector<int> runLog;
    std::optional<CardBox> failOnBox; // the next write to this box throws
    std::function<void()> onIndicator;

private:
    std::string m_status;
    std::string m_hint;
    std::map<CardBox, std::string> m_boxes;
};

using Procedure = void (*)(CardSession &);

struct PassStart
{
    std::string status;
    std::string hint;
};

class CardRig
{
public:
    CardRig()
    {
        link.attach(reader.port());
        link.setPump([this] {
            if (pump)
                pump();
        });
        flags.connectTag = 1;
    }

    // Runs `procedure` on `page` and presses Stop when the `passes`th request of the pass
    // command (group, code) has gone out, so that pass is the last. Each pass start records
    // what the previous one left on the status line and in the hint.
    void run(Procedure procedure, int page, std::uint8_t group, std::uint8_t code, int passes)
    {
        passStarts.clear();
        reader.onRequest([=, this](const Bytes &request) {
            if (request.size() > 6 && request[5] == group && request[6] == code) {
                passStarts.push_back({view.status(), view.hint()});
                if (static_cast<int>(passStarts.size()) == passes)
                    flags.readTag.at(static_cast<std::size_t>(page)) = 0;
            }
            if (onRequest)
                onRequest(request);
        });
        procedure(session);
    }

    std::vector<std::string> frames() const
    {
        std::vector<std::string> out;
        for (const Bytes &request : reader.requests())
            out.push_back(hexText(request));
        return out;
    }

    std::vector<std::string> boxWrites(CardBox box) const
    {
        std::vector<std::string> out;
        for (const auto &[written, text] : view.boxLog) {
            if (written == box)
                out.push_back(text);
        }
        return out;
    }

    int statusCount(const std::string &text) const
    {
        int n = 0;
        for (const std::string &s : view.statusLog)
            n += s == text ? 1 : 0;
        return n;
    }

    FakeClock clock;
    FakeReader reader{clock};
    Link link{clock};
    RecordingView view;
    RunFlags flags;
    CardSession session{link, view, flags};
    std::function<void()> pump;
    std::function<void(const Bytes &)> onRequest;
    std::vector<PassStart> passStarts;
};

// Reader messages as the status line shows them.
inline const std::string kNoCard = " There is no card or card doesn\u2019t respond.";
inline const std::string kSuccessful = " Operation is successful.";

} // namespace qn480::testing
