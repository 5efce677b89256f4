#ifndef GRAPHFORM_H
#define GRAPHFORM_H

#include <QByteArray>
#include <QHttpPart>
#include <QString>
#include <QVariant>

// The fields of the service's forms, as the service takes them.
namespace GraphForm {

// A text field of a multipart/form-data body.
QHttpPart field(const QByteArray &name, const QByteArray &value);

// "privacy" as the service takes it, a JSON object ({"value":"SELF"}), for
// an audience as hosts name it ("only-me", ...); empty for a name it does
// not know.
QByteArray privacy(const QString &audience);

// The audience a "privacy" of the service's stands for ("SELF", or
// {"value":"SELF"}), as hosts name it; empty for one of its own (custom).
QString audienceOf(const QVariant &privacy);

// A date and time the service takes as "backdated_time": ISO 8601 to the
// second, with "Z" or an offset after it or neither.
bool isBackdatedTime(const QString &time);

} // namespace GraphForm

#endif // GRAPHFORM_H
