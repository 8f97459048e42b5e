#pragma once

#include "Failure.h"
#include "Prompts.h"

#include <QString>
#include <exception>

namespace blendora {

inline const QString kSupportAddress = QStringLiteral("support@quorvane.example");
inline const QString kErrorCaption = QStringLiteral("Application Error");

// How a report names the procedure: the project and its date, the module and the member.
inline QString procedureText(const char* member) {
    return QStringLiteral("in Corvalt2021/08/31.%1 ").arg(QLatin1String(member));
}

namespace proc {
inline const QString FormLoad = procedureText("Form1.Form_Load");
inline const QString FormQueryUnload = procedureText("Form1.Form_QueryUnload");
inline const QString PushButton1Click = procedureText("Form1.PushButton1_Click");
inline const QString PushButton2Click = procedureText("Form1.PushButton2_Click");
inline const QString PushButton3Click = procedureText("Form1.PushButton3_Click");
inline const QString PushButton4Click = procedureText("Form1.PushButton4_Click");
inline const QString PushButton5Click = procedureText("Form1.PushButton5_Click");
inline const QString MergeWave = procedureText("modWave.MergeWave");
} // namespace proc

void ReportError(Prompts& prompts, const QString& procedureText, int line,
                 const QString& description);

// Runs the numbered statements of one procedure. A statement that throws is reported with the
// procedure text and its number, and the procedure goes on with its next statement; a Condition
// is no fault of ours and is told as a plain message instead.
class Trap {
  public:
    Trap(Prompts& prompts, QString procedureText)
        : prompts_(prompts), procedureText_(std::move(procedureText)) {}

    // True when the statement ran to its end.
    template <class F> bool at(int line, F&& statement) {
        try {
            statement();
            return true;
        } catch (const Condition& c) {
            tell(blendora::describe(c));
        } catch (const std::exception& e) {
            report(line, blendora::describe(e));
        } catch (...) {
            report(line, QString());
        }
        return false;
    }

    // A branch test; a test that itself fails enters the branch.
    template <class F> bool test(int line, F&& condition) {
        bool taken = true;
        at(line, [&] { taken = condition(); });
        return taken;
    }

    QString lastDescription() const { return lastDescription_; }

  private:
    void report(int line, const QString& description);
    void tell(const QString& description);

    Prompts& prompts_;
    QString procedureText_;
    QString lastDescription_;
};

} // namespace blendora
