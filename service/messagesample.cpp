#include "service/messagesample.h"

#include "datafile/recordformat.h"

#include <cmath>

WindSample windSampleOf(const ParsedMessage &message)
{
    WindSample sample;
    sample.utcMs = message.arrivalMs;
    sample.speed = message.speed;
    bool ok = false;
    const double direction = message.fields.Fld2.trimmed().toDouble(&ok);
    if (ok && std::isfinite(direction))
        sample.directionDeg = direction;
    sample.units = QString::fromLatin1(message.fields.Fld4);
    sample.status = QString::fromLatin1(message.fields.Fld5);
    return sample;
}

QJsonObject liveJson(const ParsedMessage &message)
{
    const WindSample s = windSampleOf(message);
    const QJsonValue null(QJsonValue::Null);
    return QJsonObject{
        {QStringLiteral("time"), utcIsoMillis(s.utcMs)},
        {QStringLiteral("speed"), s.speed},
        // As the record writes it ("000.00").
        {QStringLiteral("mean"), message.mean ? QJsonValue(formatNumber(*message.mean).toDouble()) : null},
        {QStringLiteral("direction"), s.directionDeg ? QJsonValue(*s.directionDeg) : null},
        {QStringLiteral("units"), s.units},
        {QStringLiteral("status"), s.status},
    };
}
