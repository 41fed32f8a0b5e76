#ifndef BRENVOX_TEST_SENDCHECK_H
#define BRENVOX_TEST_SENDCHECK_H

// Small helpers for the reliability tests: runs of Email::sendMail in-process, transcripts
// without the transfer percentages, and a strict base64 decoder to check attachments with.

#include "email.h"
#include "emailtestaccess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

// What one in-process sendMail printed and returned, and how long it took.
struct InProcessRun {
    std::string out;
    int status = -1;
    double seconds = 0;
};

// Runs job.sendMail() with both socket time-outs cut to timeoutSeconds, capturing standard
// output.
inline InProcessRun runSendMail(Email& job, unsigned int timeoutSeconds = 1) {
    EmailTestAccess::setTimeouts(job, timeoutSeconds, timeoutSeconds);
    InProcessRun run;
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    run.status = job.sendMail();
    run.out = testing::internal::GetCapturedStdout();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

// out without the percentages of the transfer ("0%\r" ... "100%\r\n"), which depend on the
// number of message lines. completed tells whether 100% was reached.
inline std::string withoutProgress(const std::string& out, bool* completed = nullptr) {
    std::string kept;
    bool reached = false;
    std::size_t i = 0;
    while (i < out.size()) {
        std::size_t digits = 0;
        while (i + digits < out.size() && digits < 3 && out[i + digits] >= '0' &&
               out[i + digits] <= '9') {
            ++digits;
        }
        const bool atLineStart = i == 0 || out[i - 1] == '\n' || out[i - 1] == '\r';
        if (digits > 0 && atLineStart && out.compare(i + digits, 2, "%\r") == 0) {
            const bool full = out.compare(i, digits, "100") == 0;
            i += digits + 2;
            if (full && i < out.size() && out[i] == '\n') {
                reached = true;
                ++i;
            }
            continue;
        }
        kept += out[i++];
    }
    if (completed != nullptr) {
        *completed = reached;
    }
    return kept;
}

// Decodes base64 (RFC 4648 section 4, "=" padding), skipping CR and LF. False for any other
// character outside the alphabet, misplaced padding or a length that is not a multiple of 4.
inline bool base64Decode(const std::string& text, std::string& bytes) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bytes.clear();
    unsigned int group = 0;
    int filled = 0;
    int padding = 0;
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            continue;
        }
        unsigned int value = 0;
        if (c == '=') {
            ++padding;
        } else {
            const std::size_t at = alphabet.find(c);
            if (at == std::string::npos || padding > 0) {
                return false;
            }
            value = static_cast<unsigned int>(at);
        }
        group = (group << 6) | value;
        if (++filled < 4) {
            continue;
        }
        if (padding > 2) {
            return false;
        }
        const int take = 3 - padding;
        for (int k = 0; k < take; ++k) {
            bytes += static_cast<char>((group >> (16 - 8 * k)) & 0xFFU);
        }
        group = 0;
        filled = 0;
        if (padding > 0) {
            padding = 3; // nothing may follow a padded group
        }
    }
    return filled == 0;
}

#endif
