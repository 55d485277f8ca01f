#include "Summary.h"

#include <cstdio>

namespace devsim {

std::string TSummary::Make(const TRunFacts& Facts) {
    TJsonObject s;
    s.Add("mode", ModeName(m_o.Mode)).Add("summary", true);
    const double seconds = Ms(TClock::now() - Facts.T0) / 1000.0;
    bool complete = true;

    switch (m_o.Mode) {
    case TMode::Text:
        AddText(s, Facts);
        if (m_packet.Bursts()) {
            s.Add("bursts", m_packet.Bursts());
            complete = AddPacket(s);
        }
        break;
    case TMode::Packet:
        complete = AddPacket(s);
        break;
    case TMode::FloodText:
    case TMode::FloodBytes:
    case TMode::FloodUdp:
        complete = AddFlood(s, Facts);
        break;
    case TMode::Udp:
        break;
    case TMode::Download:
        complete = AddDownload(s, Facts);
        break;
    }
    if (!complete)
        m_status.Fail("work left undone", 1);
    s.Add("complete", complete);

    if (m_o.UsesPty())
        AddPty(s, Facts);
    if (m_o.UsesUdp())
        AddUdp(s, Facts);
    s.Add("seconds", seconds)
        .Add("interrupted", Facts.Interrupted)
        .Add("time_limit_hit", Facts.TimeLimitHit)
        .Add("ok", m_status.Exit == 0)
        .Add("exit", m_status.Exit);
    if (!m_status.Failure.empty())
        s.Add("error", m_status.Failure);
    return s.Str();
}

void TSummary::AddText(TJsonObject& S, const TRunFacts& Facts) {
    S.Add("lines", Facts.Lines)
        .Add("ok_answers", m_modem.OkCount())
        .Add("error_answers", m_modem.ErrorCount())
        .Add("ignored_lines", m_modem.IgnoredCount())
        .Add("unsolicited", Facts.Unsolicited);
}

bool TSummary::AddPacket(TJsonObject& S) {
    const TPacketCounts& n = m_packet.Counts();
    if (n.Missing || n.Wrong || n.Stray)
        m_status.Fail(std::to_string(n.Missing) + " answers missing, " + std::to_string(n.Wrong) +
                          " wrong, " + std::to_string(n.Stray) + " bytes when none were due",
                      1);
    S.Add("requests", n.Expecting)
        .Add("answered", n.Answered)
        .Add("missing", n.Missing)
        .Add("wrong", n.Wrong)
        .Add("no_answer_requests", n.SilentSent)
        .Add("stray_bytes", static_cast<unsigned long long>(n.Stray))
        .Add("late_bytes", static_cast<unsigned long long>(n.Late));
    for (TRequestKind k : {TRequestKind::Kind1, TRequestKind::Kind2, TRequestKind::Kind3,
                           TRequestKind::Empty, TRequestKind::Damaged, TRequestKind::Garbage})
        S.Add(RequestKindName(k), n.SentByKind[static_cast<int>(k)]);
    if (n.Rtt.Count()) {
        S.Add("rtt_median_ms", n.Rtt.Median())
            .Add("rtt_p99_ms", n.Rtt.Percentile(99))
            .Add("rtt_max_ms", n.Rtt.Max());
    } else {
        S.AddNull("rtt_median_ms").AddNull("rtt_p99_ms").AddNull("rtt_max_ms");
    }
    S.Add("probe", n.Probe);
    return m_packet.Done();
}

bool TSummary::AddFlood(TJsonObject& S, const TRunFacts& Facts) {
    const TTime end = m_flood.Done() ? m_flood.End() : TClock::now();
    const double secs = Facts.Started ? Ms(end - m_flood.Start()) / 1000.0 : 0;
    if (m_o.Mode == TMode::FloodUdp) {
        S.Add("count_target", static_cast<unsigned long long>(m_o.Count))
            .Add("bytes_sent", static_cast<unsigned long long>(m_traffic.TxBytes))
            .Add("flood_seconds", secs)
            .Add("per_second", secs > 0 ? static_cast<double>(m_traffic.UdpSent) / secs : 0.0, 1);
    } else {
        S.Add("bytes_target", static_cast<unsigned long long>(m_o.Bytes))
            .Add("bytes_sent", static_cast<unsigned long long>(m_traffic.TxBytes))
            .Add("flood_seconds", secs)
            .Add("mb_per_s", secs > 0 ? static_cast<double>(m_traffic.TxBytes) / 1e6 / secs : 0.0);
    }
    return m_flood.Done();
}

bool TSummary::AddDownload(TJsonObject& S, const TRunFacts& Facts) {
    const TDownload& d = *Facts.Download;
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", d.Crc32());
    const TTime end = d.Done() ? d.End() : TClock::now();
    const double secs = Facts.Started ? Ms(end - d.Start()) / 1000.0 : 0;
    S.Add("size", static_cast<unsigned long long>(d.Size())).Add("crc32", crc);
    if (m_o.Protocol == TRxProtocol::Ymodem) {
        S.Add("file_name", d.Name());
        if (d.AnnouncedSize() >= 0)
            S.Add("announced_size", static_cast<long long>(d.AnnouncedSize()));
        else
            S.AddNull("announced_size");
    }
    S.Add("blocks", d.Blocks()).Add("naks", d.Naks()).Add("download_seconds", secs);
    return d.Done() && d.Failure().empty();
}

void TSummary::AddPty(TJsonObject& S, const TRunFacts& Facts) {
    if (Facts.Device)
        S.Add("com", m_o.Com).Add("device", *Facts.Device);
    else
        S.Add("com", m_o.Com).AddNull("device");
    const TBytes& rx = *Facts.Rx;
    S.Add("rx_bytes", static_cast<unsigned long long>(m_traffic.RxBytes))
        .Add("tx_bytes", static_cast<unsigned long long>(m_traffic.TxBytes))
        .Add("rx", rx)
        .Add("rx_truncated", m_traffic.RxBytes > rx.size());
}

void TSummary::AddUdp(TJsonObject& S, const TRunFacts& Facts) {
    const std::vector<std::string>& datagrams = *Facts.Datagrams;
    std::string list = "[";
    for (size_t k = 0; k < datagrams.size(); ++k)
        list += (k ? "," : "") + datagrams[k];
    list += "]";
    S.Add("listen_port", Facts.ListenPort)
        .Add("udp_sent", static_cast<unsigned long long>(m_traffic.UdpSent))
        .Add("udp_received", static_cast<unsigned long long>(m_traffic.UdpReceived))
        .Add("send_errors", static_cast<unsigned long long>(m_traffic.SendErrors))
        .AddRaw("datagrams", list);
}

} // namespace devsim
