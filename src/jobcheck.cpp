#include "jobcheck.h"

#include "headerfields.h"
#include "mimetypes.h"

#include <algorithm>
#include <utility>

namespace {

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

bool anyHasLineBreak(const StringList& texts) {
    return std::any_of(texts.begin(), texts.end(), hasLineBreak);
}

// The file name goes into the part headers, where a line break would end the
// data early or add header lines.
bool attachmentNameBreaks(const StringList& paths) {
    return std::any_of(paths.begin(), paths.end(),
                       [](const std::string& path) { return hasLineBreak(fileNameOf(path)); });
}

// What a raw message would silently go without.
const char* composingOptionIn(const ComposeOptions& options) {
    const std::pair<bool, const char*> given[] = {
        {!options.cc.empty(), "--cc"},
        {!options.bcc.empty(), "--bcc"},
        {!options.replyTo.empty(), "--reply-to"},
        {!options.fromName.empty(), "--from-name"},
        {!options.headerFields.empty(), "--header"},
        {!options.htmlFile.empty(), "--html"},
        {!options.inlines.empty(), "--inline"},
    };
    for (const auto& [isGiven, name] : given) {
        if (isGiven) {
            return name;
        }
    }
    return nullptr;
}

Outcome checkHeaderField(const std::string& text) {
    if (hasLineBreak(text)) {
        return Outcome::stop("Aborting - line break in --header value.");
    }
    const std::optional<HeaderField> field = splitHeaderField(text);
    if (!field || !isFieldName(field->name)) {
        return Outcome::stop("Aborting - bad field name in --header '" + text + "'.");
    }
    if (isReservedFieldName(field->name)) {
        return Outcome::stop("Aborting - reserved field name in --header '" + text + "'.");
    }
    return {};
}

Outcome checkComposing(const JobText& job) {
    const ComposeOptions& options = job.options;
    if (const char* option = job.composed ? nullptr : composingOptionIn(options)) {
        return Outcome::stop("Aborting - " + std::string(option) + " cannot change a raw message.");
    }
    const std::pair<bool, const char*> checks[] = {
        {!options.inlines.empty() && options.htmlFile.empty(), "Aborting - --inline needs --html."},
        {anyHasLineBreak(options.replyTo), "Aborting - line break in Reply-To address."},
        {hasLineBreak(options.fromName), "Aborting - line break in From name."},
    };
    for (const auto& [failed, line] : checks) {
        if (failed) {
            return Outcome::stop(line);
        }
    }
    for (const std::string& field : options.headerFields) {
        const Outcome checked = checkHeaderField(field);
        if (checked.stopped()) {
            return checked;
        }
    }
    return {};
}

} // namespace

Outcome checkJob(const JobText& job) {
    const Envelope& envelope = job.envelope;
    const std::pair<bool, const char*> checks[] = {
        {envelope.serverName.empty(), "Aborting - no server defined."},
        {envelope.recipients.empty(), "Aborting - no recipients defined."},
        {envelope.sender.empty(), "Aborting - no From address defined."},
        {hasLineBreak(envelope.sender), "Aborting - line break in From address."},
        {anyHasLineBreak(envelope.recipients), "Aborting - line break in recipient address."},
        {hasLineBreak(envelope.heloName), "Aborting - line break in HELO domain."},
        {hasLineBreak(job.credentials), "Aborting - line break in credentials."},
        // AUTH PLAIN separates the user name and password with NUL bytes.
        {job.credentials.find('\0') != std::string::npos, "Aborting - NUL byte in credentials."},
        {job.composed && hasLineBreak(job.subject), "Aborting - line break in subject."},
        {job.composed && attachmentNameBreaks(job.attachments),
         "Aborting - line break in attachment name."},
    };
    for (const auto& [failed, line] : checks) {
        if (failed) {
            return Outcome::stop(line);
        }
    }
    if (!mechanismNamed(job.mechanismName)) {
        return Outcome::stop("Aborting - unknown authentication mechanism " + job.mechanismName +
                             ".");
    }
    return checkComposing(job);
}

std::optional<AuthMechanism> mechanismNamed(const std::string& name) {
    const std::pair<const char*, AuthMechanism> names[] = {
        {"login", AuthMechanism::login},
        {"plain", AuthMechanism::plain},
        {"xoauth2", AuthMechanism::xoauth2},
        {"oauthbearer", AuthMechanism::oauthbearer},
    };
    for (const auto& [text, mechanism] : names) {
        if (name == text) {
            return mechanism;
        }
    }
    return std::nullopt;
}
