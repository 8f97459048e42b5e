#include "ErrorReport.h"

#include "AppTitle.h"
#include "Failure.h"

namespace blendora {

namespace {
QString errorReportText(const QString& description, const QString& procedureText, int line) {
    return description + QStringLiteral("\r\n") + procedureText + QStringLiteral("at line ") +
           QString::number(line) + QStringLiteral("\r\r") +
           QStringLiteral("Please email screenshot of this message to ") + kSupportAddress;
}
} // namespace

void ReportError(Prompts& prompts, const QString& procedureText, int line,
                 const QString& description) {
    prompts.warning(errorReportText(description, procedureText, line), kErrorCaption);
}

void Trap::report(int line, const QString& description) {
    lastDescription_ = description;
    ReportError(prompts_, procedureText_, line, description);
}

void Trap::tell(const QString& description) {
    lastDescription_ = description;
    prompts_.message(description, appTitle());
}

} // namespace blendora
