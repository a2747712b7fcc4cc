// Reading one stored frame: the D88M header, the JPEG picture with its continuation after a block
// header, the audio chunks, the camera channel, the hand-off to the channel's slot and the status
// export.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "orma/orma_disk.h"
#include "platform/system.h"

namespace orma {

namespace {

// Swaps the bytes of `words` 16-bit words in place (big-endian words to host order and back), four
// words at a time: a picture is up to 64,000 words.
void SwapWords(BYTE* p, std::size_t words) {
    for (; words >= 4; words -= 4, p += 8) {
        std::uint64_t v;
        std::memcpy(&v, p, sizeof v);
        v = ((v & 0x00FF00FF00FF00FFull) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFull);
        std::memcpy(p, &v, sizeof v);
    }
    for (; words > 0; --words, p += 2)
        std::swap(p[0], p[1]);
}

// Bounds a fast-play jump so that the entry index stays far from overflow.
constexpr LONGLONG kMaxEntryJump = 1 << 20;

} // namespace

HRESULT COrmaDisk::SetDvrModel(UINT model) {
    if (model > 102)
        return E_INVALIDARG;
    m_dvr_model = static_cast<int>(model);
    return S_OK;
}

void COrmaDisk::SetVideo(int standard) {
    if (standard == 0)
        m_AudioChunk = 294;
    else if (standard == 1)
        m_AudioChunk = 352;
}

HRESULT COrmaDisk::SetPlaybackSpeed(int speed) {
    if (!m_open)
        return E_FAIL;
    if (speed == 0)
        return E_INVALIDARG; // no speed to play at
    m_Direction = speed > 0 ? 1 : -1;
    const LONGLONG m = speed > 0 ? LONGLONG(speed) : -LONGLONG(speed);
    if (m < 1000) {
        m_SpeedFactor = static_cast<double>(1000 / m);
    } else {
        m_SpeedFactor = 1.0;
        m_FrameSkip = static_cast<int>(m / 1000 - 1);
    }
    m_AwaitedChannel = -1;
    return S_OK;
}

void COrmaDisk::SetBlueScreen(const BYTE* jpeg, DWORD length) {
    length = std::min(length, kBlueScreenBytes);
    m_BlueScreen.assign(jpeg, jpeg + (jpeg ? length : 0));
}

void COrmaDisk::ArchiveDataFile(HANDLE file, int mode) {
    m_ExportFile = file;
    m_ExportMode = mode;
}

void COrmaDisk::StartPlayback() {
    m_FrameCounter = 0;
    m_AwaitedChannel = -1;
    std::fill(std::begin(m_Seen), std::end(m_Seen), false);
    if (m_pins)
        for (int ch = 0; ch < kChannels; ++ch)
            m_pins->Slot(ch).stamp = 0;
}

void COrmaDisk::WakeAllChannels() {
    if (m_pins)
        for (int ch = 0; ch < kChannels; ++ch)
            m_pins->SetFrameReady(ch);
}

HRESULT COrmaDisk::FailFrame(DWORD cluster, DWORD block) {
    m_Cluster = cluster;
    m_Block = block;
    ReadCurrentHeader();
    m_Entry = 0;
    if (m_pins)
        m_pins->StopPlaying();
    WakeAllChannels();
    OutputDebugStringA("E_FAIL\n");
    return E_FAIL;
}

void COrmaDisk::ExportStatus() {
    BYTE* f = m_FrameBuffer.get();
    SwapWords(f + d88m::kStatusText, d88m::kStatusTextBytes / 2);
    const BYTE year = f[d88m::kYear];
    const DWORD t = platform::ReadSwapped32(f + d88m::kTime);
    DWORD written = 0;
    if (m_ExportMode == 1) {
        f[d88m::kStatusText + d88m::kStatusTextBytes - 1] = 0;
        const char* text = reinterpret_cast<const char*>(f + d88m::kStatusText);
        std::string line =
            FormatTime(year, t) + " " + std::string(text, strnlen(text, d88m::kStatusTextBytes - 1)) + "\r\n";
        WriteFile(m_ExportFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    } else if (m_ExportMode == 2) {
        BYTE record[4 + d88m::kStatusTextBytes];
        platform::WriteLE32(record, static_cast<DWORD>(UnixSeconds(year, t, true))); // the PC's local time
        std::memcpy(record + 4, f + d88m::kStatusText, d88m::kStatusTextBytes);
        WriteFile(m_ExportFile, record, sizeof record, &written, nullptr);
    }
}

HRESULT COrmaDisk::GetFrame(BYTE* audio, LONG* audioLength, BYTE* channel) {
    // 1. Nothing to read: release every channel.
    if (!m_open) {
        if (m_pins) {
            for (int ch = 0; ch < kChannels; ++ch) {
                m_pins->Slot(ch).length = -1;
                m_pins->SetFrameReady(ch);
            }
        }
        OutputDebugStringA("COrmaSrc::GetFrame: NULL device.\n");
        return E_FAIL;
    }
    // 2. Past the segment's end (or start): continue in the neighbouring segment.
    if (!VerifyIndex()) {
        const int count = static_cast<int>(m_seg.size());
        SetPointerSegment(((m_CurSeg + m_Direction) % count + count) % count, m_Direction < 0);
    }
    const DWORD cluster = m_Cluster, block = m_Block;
    BYTE* f = m_FrameBuffer.get();
    m_LastPictureLength = 0;

    // 3. The frame entry.
    Disk01M header{m_Disk01M};
    const int F = m_Entry;
    const WORD V = F >= 0 && F <= header.LastEntry() ? header.EntrySize(F) : 0;
    const DWORD S = F >= 0 && F <= header.LastEntry() ? header.EntrySector(F) - m_SectorBase : 0;
    const int sectors = V >> 8;
    if (sectors == 0 || S > m_SystemSize) {
        OutputDebugStringA("E_FAIL: num_sector or start_sector\n");
        return FailFrame(cluster, block);
    }
    // 4. The frame itself; its first sector is the frame header.
    if (!ReadSectors(S, sectors, f))
        return FailFrame(cluster, block);
    std::memcpy(m_d88m, f, kSectorBytes);
    // 5. Reading only to position.
    if (!audio || !audioLength)
        return E_POINTER;
    // A frame outside an archive run's range ends playback before anything of it is delivered: every
    // channel is released without a picture, so each pin ends its stream.
    if (m_rangeEnd != 0 && m_Direction > 0 && platform::ReadLE16(f + d88m::kMagic) == kFrameMagic) {
        const BYTE year = f[d88m::kYear];
        const DWORD time = platform::ReadSwapped32(f + d88m::kTime);
        const bool before = CompareTime(year, time, m_rangeStartYear, m_rangeStart) < 0;
        if (!before)
            m_rangeEntered = true;
        // Before the start, frames of the start's minute lead into the range; once in it, an earlier
        // frame means playback went round into an older segment.
        if (CompareTime(year, time, m_rangeEndYear, m_rangeEnd) > 0 || (before && m_rangeEntered)) {
            if (m_pins)
                for (int ch = 0; ch < kChannels; ++ch) {
                    m_pins->Slot(ch).length = -1;
                    m_pins->SetFrameReady(ch);
                }
            return E_FAIL;
        }
    }

    int A = 0;
    int fid = 0;
    // 6. A sector run without a frame: no audio, no picture.
    if (platform::ReadLE16(f + d88m::kMagic) != kFrameMagic) {
        *audioLength = 0;
    } else {
        A = platform::ReadLE16(f + d88m::kAudioChunks);
        const DWORD Q = platform::ReadLE16(f + d88m::kAudioOffset);
        const DWORD L = platform::ReadLE16(f + d88m::kLength);

        // 7. A frame that runs into the block header continues at the start of the next block.
        const LONGLONG h =
            LONGLONG(S) - (LONGLONG(m_Cluster) * m_ClusterSize + LONGLONG(m_Block) * kBlockSectors);
        const LONGLONG E = ((h - LONGLONG(kHeaderSectorInBlock)) * 256 + L) * 2;
        if (E > 0) {
            // Only a frame that starts in this block's frame area can continue in the next block, and the
            // whole frame must fit the frame buffer.
            const LONGLONG offset = (LONGLONG(kHeaderSectorInBlock) - h) * kSectorBytes;
            const LONGLONG more = (E + kSectorBytes - 1) / kSectorBytes;
            if (h < 0 || h >= LONGLONG(kHeaderSectorInBlock) ||
                offset + more * kSectorBytes > LONGLONG(kFrameBufferBytes))
                return FailFrame(cluster, block);
            const ULONGLONG next =
                ULONGLONG(m_Cluster) * m_ClusterSize + (ULONGLONG(m_Block) + 1) * kBlockSectors;
            if (!ReadSectors64(next, static_cast<int>(more), f + offset))
                return FailFrame(cluster, block);
        }

        // 8. Audio: the extra chunks, then the frame's own chunk.
        const LONGLONG chunk = m_AudioChunk;
        const LONGLONG needed = chunk * (A + 1);
        if (*audioLength < needed) {
            OutputDebugStringA(common::Format("audio length problem? %d, %d, %d>%d!\n", A,
                                              static_cast<int>(chunk), static_cast<int>(needed),
                                              static_cast<int>(*audioLength))
                                   .c_str());
            return FailFrame(cluster, block);
        }
        if (A > 0 && 2 * LONGLONG(Q) + LONGLONG(d88m::kExtraChunkStride) * (A - 1) + chunk >
                         LONGLONG(kFrameBufferBytes))
            return FailFrame(cluster, block);
        BYTE* out = audio;
        for (int i = 0; i < A; ++i, out += chunk)
            std::memcpy(out, f + 2 * Q + d88m::kExtraChunkStride * static_cast<DWORD>(i),
                        static_cast<std::size_t>(chunk));
        std::memcpy(out, f + d88m::kAudio, static_cast<std::size_t>(chunk));
        *audioLength = static_cast<LONG>(needed);

        // 9. Picture length.
        const LONG jpegSize =
            static_cast<LONG>(A > 0 ? 2 * LONGLONG(Q) : 2 * LONGLONG(L)) - static_cast<LONG>(d88m::kPicture);
        if (jpegSize <= 0) {
            const OrmaSegment& cur = m_seg[static_cast<std::size_t>(m_CurSeg)];
            OutputDebugStringA(
                common::Format("E_FAIL: [%d-%d-%d] str0: %s, jpeg_size=%d m_d88m.D88Seg=%d "
                               "m_seg[%d].segment_id=%d  audio_chunk:%d\n",
                               static_cast<int>(cluster), static_cast<int>(block), F,
                               FormatTime(f[d88m::kYear], platform::ReadSwapped32(f + d88m::kTime)).c_str(),
                               static_cast<int>(jpegSize), platform::ReadLE16(f + d88m::kSegmentId), m_CurSeg,
                               cur.segment_id, A)
                    .c_str());
            if (jpegSize < 0)
                return FailFrame(cluster, block);
        } else {
            // The picture's words, swapped in place, must lie inside the frame buffer.
            const std::size_t words = static_cast<std::size_t>(jpegSize - 1) / 2 + 1;
            if (d88m::kPicture + 2 * words > kFrameBufferBytes)
                return FailFrame(cluster, block);
            m_LastPictureLength = jpegSize;

            // 10. The camera channel.
            const BYTE channelByte = f[d88m::kChannelField + 1];
            if (m_dvr_model == 101) {
                fid = static_cast<BYTE>(channelByte - 1);
            } else if (m_dvr_model == 102) {
                fid = channelByte;
            } else {
                SwapWords(f + d88m::kChannelCode, d88m::kChannelCodeWords);
                fid = m_dvr_model >= 1 && m_dvr_model <= 16
                          ? DecodeChannel(m_dvr_model, f + d88m::kChannelCode)
                          : 0;
            }
            if (fid >= kChannels)
                fid = 0;
            OutputDebugStringA(
                common::Format("GetFrame:ID %x, chnl_fld %x, imgsize %d, dvr_model: %d, fid %d\n",
                               platform::ReadLE16(f + d88m::kMagic),
                               platform::ReadLE16(f + d88m::kChannelField), static_cast<int>(jpegSize),
                               m_dvr_model, fid)
                    .c_str());

            if (m_pins) {
                // 11. Channel rounds. A round starts with the first frame read after a start, a
                // repositioning or a speed change, and ends when that frame's channel comes round again.
                // The channels not seen by then have no recording here: they get the blue screen (or end)
                // at the round's end, not at its start, so that a recorded channel's pin never takes the
                // blue screen in place of the channel's own first picture (a paused renderer would hold it).
                COrmaSlot& own = m_pins->Slot(fid);
                const bool secondField = static_cast<BYTE>(fid) == m_LastChannel && A == 0 &&
                                         m_SpeedFactor == 1.0 && !m_timestamps;
                if (m_AwaitedChannel == -1) {
                    m_AwaitedChannel = fid;
                    m_RoundPending = true;
                    m_RoundBlueScreen = own.length <= 0;
                } else if (fid == m_AwaitedChannel && (!secondField || m_FrameSkip != 0)) {
                    if (m_RoundPending) {
                        m_RoundPending = false;
                        for (int ch = 0; ch < kChannels; ++ch) {
                            if (ch == fid || m_Seen[ch])
                                continue;
                            COrmaSlot& slot = m_pins->Slot(ch);
                            if (m_RoundBlueScreen) {
                                if (!m_BlueScreen.empty() && m_BlueScreen.size() <= slot.capacity) {
                                    std::memcpy(slot.picture, m_BlueScreen.data(), m_BlueScreen.size());
                                    slot.length = static_cast<LONG>(m_BlueScreen.size());
                                } else {
                                    slot.length = -1;
                                }
                            }
                            slot.stamp = m_FrameCounter;
                            m_pins->SetFrameReady(ch);
                        }
                    }
                    if (m_FrameSkip != 0) {
                        m_AwaitedChannel = -1;
                        LONGLONG jump = LONGLONG(static_cast<LONG>(m_FrameCounter - own.stamp)) *
                                        m_Direction * m_FrameSkip;
                        jump = std::clamp(jump, -kMaxEntryJump, kMaxEntryJump);
                        m_Entry = static_cast<int>(
                            std::clamp(LONGLONG(m_Entry) + jump, -kMaxEntryJump, kMaxEntryJump));
                    }
                }

                // 12. Deliver, unless it is the second field of the picture just delivered at normal speed.
                if (secondField) {
                    m_LastChannel = 0xFF;
                } else {
                    BYTE* jpeg = f + d88m::kPicture;
                    SwapWords(jpeg, words);
                    if (!m_timestamps)
                        m_pins->WaitFrameWanted(fid, 10);
                    if (jpeg[0] == 0xFF && jpeg[1] == 0xD8 && jpeg[2] == 0xFF && jpeg[3] == 0xDB &&
                        static_cast<DWORD>(jpegSize) <= own.capacity) {
                        std::memcpy(own.picture, jpeg, static_cast<std::size_t>(jpegSize));
                        std::memcpy(m_FrameInfo, f, 130);
                        std::memcpy(m_FrameInfo + 130, f + d88m::kInfoWords, 12);
                        std::memcpy(m_FrameInfo + 142, f + d88m::kStatusText, d88m::kStatusTextBytes);
                        own.length = jpegSize;
                        own.stamp = m_FrameCounter;
                    }
                    m_pins->SetFrameReady(fid);
                    m_Seen[fid] = true;
                    m_LastChannel = static_cast<BYTE>(fid);
                }
            }
            // 13. Status export.
            if (m_ExportFile && (m_ExportMode == 1 || m_ExportMode == 2))
                ExportStatus();
        }
    }

    // 14. Next entry.
    if (m_pins)
        m_pins->SetAudioStamp(m_FrameCounter);
    m_Entry += m_Direction;
    m_FrameCounter += static_cast<DWORD>(A + 1);
    if (channel)
        *channel = static_cast<BYTE>(fid);
    return S_OK;
}

} // namespace orma
