#include "UpdaterSteps.h"

#include <cstdarg>
#include <cstdio>

#include "HistoryKeys.h"
#include "NXPSerial.h"
#include "SDPLoader.h"
#include "aDefs.h"

std::string StepText(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

BuildChoice ChooseUpdateBuild(const BuildChoiceInput& input)
{
    BuildChoice choice;
    if (input.file_given) {
        choice.source = BuildSource::FILE;
        return choice;
    }
    if (input.requested != 0) {
        choice.source = BuildSource::REQUESTED;
        choice.build = input.requested;
        return choice;
    }
    if (input.server_latest != 0) {
        if (input.server_latest_stored) {
            choice.source = BuildSource::SERVER_LATEST;
            choice.build = input.server_latest;
            return choice;
        }
        choice.newer_not_stored = true;
    }
    if (input.latest_download != 0) {
        choice.source = BuildSource::LATEST_DOWNLOAD;
        choice.build = input.latest_download;
    } else if (input.latest_transfer != 0) {
        choice.source = BuildSource::LATEST_TRANSFER;
        choice.build = input.latest_transfer;
    }
    return choice;
}

std::vector<linkType> DirectTransportOrder()
{
    return {USB, TCPIP};
}

bool TryNextTransport(int connect_error)
{
    return connect_error == aErrNotFound;
}

std::vector<FindAttempt> FindAgainRound(FindHow how, linkType transport, const std::vector<uint32_t>& serial_numbers)
{
    std::vector<FindAttempt> attempts;
    for (uint32_t serial : serial_numbers) {
        bool seen = false;
        for (const FindAttempt& a : attempts)
            seen = seen || a.serial_number == serial;
        if (!seen && serial != 0)
            attempts.push_back(FindAttempt{how, transport, serial});
    }
    return attempts;
}

SeekAgain SeekAfterLoad(bool still_connected, uint32_t serial_number, uint32_t router_serial_number,
                        linkType reached_by)
{
    SeekAgain seek;
    seek.needed = !still_connected;
    seek.serial_number = router_serial_number != 0 ? router_serial_number : serial_number;
    seek.transport = reached_by;
    return seek;
}

bool LoaderPrepareGoesOn(int prepare_error)
{
    return prepare_error == aErrNone || prepare_error == aErrTimeout;
}

std::string BlockFailure(const char* verb, const char* kind, int number, int count, uint32_t serial_number,
                         int error, const char* error_text, const std::string& answer)
{
    return StepText("Failed to %s %s block %d of %d on device %08X [%d, %s]%s%s", verb, kind, number, count,
                    serial_number, error, error_text, answer.empty() ? "" : ": ", answer.c_str());
}

RecoveryPath ChooseRecoveryPath(uint8_t chip_type)
{
    if (chip_type == 2)
        return RecoveryPath::LPC;
    if (chip_type == 1)
        return RecoveryPath::IMX;
    return RecoveryPath::UNKNOWN;
}

std::vector<linkType> RecoveredDeviceTransports(RecoveryPath path)
{
    switch (path) {
    case RecoveryPath::IMX:
        return {USB};
    case RecoveryPath::LPC:
        return {USB, TCPIP};
    case RecoveryPath::UNKNOWN:
        break;
    }
    return {};
}

std::string RecoveryMissing(const std::string& serial_port, unsigned int serial_number, unsigned int build,
                            const std::string& bird_file)
{
    if (serial_port.empty())
        return "Recovery needs the serial port the chip is on: give it with -s";
    if (!bird_file.empty())
        return std::string();
    if (serial_number == 0)
        return "The update server named no device for this chip, and no file was given with -f";
    if (build == 0)
        return "The update server named no build to recover, and no file was given with -f";
    return std::string();
}

std::vector<std::pair<std::string, std::string>> TransferHistory(const std::string& bird_file, unsigned int build,
                                                                 const std::string& time_text)
{
    const std::string transferred = bird_file.empty() ? std::to_string(build) + ".bird" : bird_file;
    return {{HistoryKeys::LATEST_TRANSFER, transferred}, {HistoryKeys::LAST_TRANSFER_DATE, time_text}};
}

std::vector<std::pair<std::string, std::string>> DownloadHistory(unsigned int build, const std::string& time_text)
{
    return {{HistoryKeys::LATEST_DOWNLOAD, std::to_string(build) + ".bird"},
            {HistoryKeys::LAST_DOWNLOAD_DATE, time_text}};
}

std::string ImxLoaderFailure(int sdp_result, size_t number, size_t count, size_t bytes, uint32_t address,
                             const std::string& port)
{
    const char* what = nullptr;
    switch (sdp_result) {
    case SDPLoader::SDP_NO_ANSWER:
        if (number <= 1)
            return std::string();
        what = "stopped answering: no status before the block";
        break;
    case SDPLoader::SDP_NO_COMPLETION: what = "stopped answering: no completion status after the block's data"; break;
    case SDPLoader::SDP_UNEXPECTED_DATA: what = "sent an answer in the middle of the block's data"; break;
    case SDPLoader::SDP_BAD_COMPLETION: what = "reported that the block's write failed"; break;
    default: what = "could not be reached"; break;
    }
    return StepText("The i.MX ROM on %s %s (loader block %zu of %zu, %zu bytes to 0x%08X)", port.c_str(), what, number,
                    count, bytes, address);
}

std::vector<LpcPiece> LpcPieces(uint32_t flash_address, uint32_t length)
{
    const uint32_t kPiece = 4096;
    std::vector<LpcPiece> pieces;
    for (uint32_t offset = 0; offset < length;) {
        LpcPiece piece;
        piece.offset = offset;
        piece.size = length - offset < kPiece ? length - offset : kPiece;
        piece.copy = NXPSerialClass::CopyLength(piece.size);
        piece.flash = flash_address + offset;
        piece.first_sector = NXPSerialClass::SectorFromAddress(piece.flash);
        piece.last_sector = NXPSerialClass::SectorFromAddress(piece.flash + piece.copy - 1);
        pieces.push_back(piece);
        offset += piece.size;
    }
    return pieces;
}

int LpcBlocksToSend(const std::vector<uint32_t>& block_lengths)
{
    int count = 0;
    for (uint32_t length : block_lengths) {
        if (length < 4)
            continue;
        if (length == 8)
            break;  // the end marker
        count++;
    }
    return count;
}

std::string LpcFailureReason(int return_code, const char* error_text, bool erased)
{
    std::string answer = return_code >= 0
                             ? StepText("the chip answered return code %d %s", return_code, LpcReturnCodeName(return_code))
                             : StepText("no answer from the chip (%s)", error_text);
    if (erased)
        answer += "; the chip is erased; run the recovery again";
    return answer;
}

const char* LpcReturnCodeName(int code)
{
    if (code < 0 || code >= NXPSerialClass::MAX_ERROR)
        return "UNKNOWN";
    return NXPSerialClass::ERROR_TEXT[code];
}
