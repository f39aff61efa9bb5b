#include "UpdaterSteps.h"

#include "HistoryKeys.h"
#include "NXPSerial.h"
#include "aDefs.h"

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

RecoveryPath ChooseRecoveryPath(uint8_t chip_type)
{
    if (chip_type == 2)
        return RecoveryPath::LPC;
    if (chip_type == 1)
        return RecoveryPath::IMX;
    return RecoveryPath::UNKNOWN;
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

const char* LpcReturnCodeName(int code)
{
    if (code < 0 || code >= NXPSerialClass::MAX_ERROR)
        return "UNKNOWN";
    return NXPSerialClass::ERROR_TEXT[code];
}
