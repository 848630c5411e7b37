#include "mqttclient.h"

#include <QSocketNotifier>

#include "common/nativepath.h"
#include "mosquittoapi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kKeepAliveS = 30;
constexpr int kConnackTimeoutMs = 10000;
constexpr int kHousekeepingMs = 2000;
// The max_packets argument of the library's loop calls: unused, and its
// documentation asks for 1.
constexpr int kMaxPackets = 1;
const char *const kSystemCaPath = "/etc/ssl/certs";
// Packets read at one wake-up at most, so that other events get their turn.
constexpr int kMaxReadsPerWake = 4096;

QString errorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (rc == MOSQ_ERR_EAI)
        return QStringLiteral("the broker's name does not resolve");
    return QString::fromUtf8(libmosquitto().mosquitto_strerror(rc));
}

} // namespace

bool MqttClient::loadLibrary(QString *error)
{
    return loadLibmosquitto(error);
}

std::unique_ptr<MqttClient> MqttClient::make(const MqttClientConfig &config, QString *error)
{
    if (!loadLibmosquitto(error))
        return nullptr;
    std::unique_ptr<MqttClient> client(new MqttClient(config));
    if (!client->m_mosq) {
        *error = QStringLiteral("the MQTT client cannot be made: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    return client;
}

MqttClient::MqttClient(const MqttClientConfig &config)
    : m_config(config)
{
    m_mosq = libmosquitto().mosquitto_new(m_config.clientId.isEmpty() ? nullptr : m_config.clientId.constData(),
                                          m_config.cleanSession, this);
    if (!m_mosq)
        return;
    libmosquitto().mosquitto_connect_callback_set(m_mosq, &MqttClient::onConnect);
    libmosquitto().mosquitto_publish_callback_set(m_mosq, &MqttClient::onPublish);
    libmosquitto().mosquitto_message_callback_set(m_mosq, &MqttClient::onMessage);
    if (!configure() && m_setupError.isEmpty())
        m_setupError = QStringLiteral("the client cannot be set up");

    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttClient::attempt);
    m_connack.setSingleShot(true);
    m_connack.setInterval(kConnackTimeoutMs);
    connect(&m_connack, &QTimer::timeout, this,
            [this] { connectionFailed(QStringLiteral("the broker did not answer")); });
    m_housekeeping.setInterval(kHousekeepingMs);
    connect(&m_housekeeping, &QTimer::timeout, this, &MqttClient::housekeeping);
}

MqttClient::~MqttClient()
{
    m_reader.reset();
    m_writer.reset();
    if (m_mosq)
        libmosquitto().mosquitto_destroy(m_mosq);
    // The TLS library frees its state of this thread when the thread ends,
    // but a thread of ours may still be ending while the program exits:
    // freed here, in the client's thread, once nothing of it is needed.
    if (libmosquitto().releaseThread)
        libmosquitto().releaseThread();
}

bool MqttClient::configure()
{
    libmosquitto().mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    libmosquitto().mosquitto_int_option(m_mosq, MOSQ_OPT_SEND_MAXIMUM, m_config.maxInflight);
    const MqttSettings &b = m_config.broker;
    if (!b.username.isEmpty()
        && libmosquitto().mosquitto_username_pw_set(m_mosq, b.username.toUtf8().constData(),
                                                    b.password.isEmpty() ? nullptr : b.password.toUtf8().constData())
            != MOSQ_ERR_SUCCESS)
        return false;
    if (!m_config.willTopic.isEmpty()
        && libmosquitto().mosquitto_will_set(m_mosq, m_config.willTopic.constData(), int(m_config.willPayload.size()),
                                             m_config.willPayload.constData(), 1, true)
            != MOSQ_ERR_SUCCESS)
        return false;
    if (b.url && b.url->tls) {
        const QByteArray ca = nativepath::encode(b.caFile);
        const int rc =
            libmosquitto().mosquitto_tls_set(m_mosq, ca.isEmpty() ? nullptr : ca.constData(),
                                             ca.isEmpty() ? kSystemCaPath : nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            m_setupError = QStringLiteral("TLS cannot be set up: %1").arg(errorText(rc));
            return false;
        }
    }
    return true;
}

void MqttClient::open()
{
    m_wanted = true;
    m_retryMs = kFirstRetryMs;
    attempt();
}

void MqttClient::close()
{
    m_wanted = false;
    m_retry.stop();
    m_connack.stop();
    m_housekeeping.stop();
    if (m_reader) {
        libmosquitto().mosquitto_disconnect(m_mosq);
        libmosquitto().mosquitto_loop_write(m_mosq, kMaxPackets);
    }
    dropSocket();
    m_connected = false;
}

void MqttClient::dropSocket()
{
    // Perhaps from inside the notifier's own signal: it goes when the loop is back.
    for (std::unique_ptr<QSocketNotifier> *n : {&m_reader, &m_writer}) {
        if (*n) {
            (*n)->setEnabled(false);
            n->release()->deleteLater();
        }
    }
}

void MqttClient::attempt()
{
    if (!m_wanted || !m_config.broker.url)
        return;
    if (!m_setupError.isEmpty()) {
        connectionFailed(m_setupError);
        return;
    }
    dropSocket();
    if (m_config.willPayloadNow && !m_config.willTopic.isEmpty()) {
        const QByteArray will = m_config.willPayloadNow();
        libmosquitto().mosquitto_will_set(m_mosq, m_config.willTopic.constData(), int(will.size()), will.constData(), 1,
                                          true);
    }
    const QByteArray host = m_config.broker.url->host.toUtf8();
    errno = 0;
    const int rc = libmosquitto().mosquitto_connect(m_mosq, host.constData(), m_config.broker.url->port, kKeepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        connectionFailed(errorText(rc));
        return;
    }
    watchSocket();
    m_connack.start();
    m_housekeeping.start();
    flushWrites();
}

void MqttClient::watchSocket()
{
    const int fd = libmosquitto().mosquitto_socket(m_mosq);
    m_reader = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_reader.get(), &QSocketNotifier::activated, this, &MqttClient::readSocket);
    m_writer = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    m_writer->setEnabled(false);
    connect(m_writer.get(), &QSocketNotifier::activated, this, &MqttClient::writeSocket);
}

void MqttClient::readSocket()
{
    // The library reads one packet a call; what has arrived is read in one
    // go, so that a burst costs one turn of the event loop, not one per
    // packet. Over TLS the packets of one record wait in the TLS library,
    // not in the socket, and the socket never tells of them again: reading
    // goes on until a call finds nothing (EAGAIN and no packet taken).
    for (int i = 0; i < kMaxReadsPerWake && m_reader; ++i) {
        const quint64 before = m_packetsTaken;
        errno = 0;
        const int rc = libmosquitto().mosquitto_loop_read(m_mosq, kMaxPackets);
        const bool nothing = (errno == EAGAIN || errno == EWOULDBLOCK) && m_packetsTaken == before;
        check(rc);
        deliverDeferred();
        if (nothing)
            break;
    }
    flushWrites();
}

void MqttClient::defer(std::function<void()> event)
{
    m_deferred.push_back(std::move(event));
}

void MqttClient::deliverDeferred()
{
    if (m_delivering)
        return; // the outer call goes on with the rest
    m_delivering = true;
    for (size_t i = 0; i < m_deferred.size(); ++i) {
        const std::function<void()> event = std::move(m_deferred[i]);
        event();
    }
    m_deferred.clear();
    m_delivering = false;
}

void MqttClient::writeSocket()
{
    flushWrites();
    deliverDeferred();
}

void MqttClient::flushWrites()
{
    if (!m_reader)
        return;
    if (libmosquitto().mosquitto_want_write(m_mosq))
        check(libmosquitto().mosquitto_loop_write(m_mosq, kMaxPackets));
    if (m_writer)
        m_writer->setEnabled(libmosquitto().mosquitto_want_write(m_mosq));
}

void MqttClient::housekeeping()
{
    if (m_reader)
        check(libmosquitto().mosquitto_loop_misc(m_mosq));
    deliverDeferred();
    flushWrites();
}

void MqttClient::check(int rc)
{
    if (!m_reader)
        return;
    if (rc == MOSQ_ERR_SUCCESS && libmosquitto().mosquitto_socket(m_mosq) >= 0)
        return;
    connectionFailed(rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST
                         ? QStringLiteral("the broker closed the connection")
                         : errorText(rc));
}

void MqttClient::connectionFailed(const QString &why)
{
    dropSocket();
    m_connack.stop();
    m_housekeeping.stop();
    m_connected = false;
    if (!m_wanted)
        return;
    if (!m_inOutage) {
        m_inOutage = true;
        emit outage(why);
    }
    m_retry.start(m_retryMs);
    m_retryMs = std::min(2 * m_retryMs, kMaxRetryMs);
}

void MqttClient::acceptConnack(int rc)
{
    m_connack.stop();
    if (rc != 0) {
        connectionFailed(QStringLiteral("the broker refused the connection: %1")
                             .arg(QString::fromUtf8(libmosquitto().mosquitto_connack_string(rc))));
        return;
    }
    m_connected = true;
    m_inOutage = false;
    m_retryMs = kFirstRetryMs;
    for (const auto &[filter, qos] : std::as_const(m_subscriptions))
        libmosquitto().mosquitto_subscribe(m_mosq, nullptr, filter.constData(), qos);
    emit connected();
}

int MqttClient::publish(const QByteArray &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!m_connected)
        return -1;
    int mid = -1;
    const int rc = libmosquitto().mosquitto_publish(m_mosq, &mid, topic.constData(), int(payload.size()),
                                                    payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS)
        return -1;
    flushWrites();
    return mid;
}

void MqttClient::subscribe(const QByteArray &filter, int qos)
{
    m_subscriptions.append({filter, qos});
    if (m_connected) {
        libmosquitto().mosquitto_subscribe(m_mosq, nullptr, filter.constData(), qos);
        flushWrites();
    }
}

void MqttClient::onConnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    ++client->m_packetsTaken;
    client->defer([client, rc] { client->acceptConnack(rc); });
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    auto *client = static_cast<MqttClient *>(self);
    ++client->m_packetsTaken;
    client->defer([client, mid] { emit client->published(mid); });
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *client = static_cast<MqttClient *>(self);
    ++client->m_packetsTaken;
    QByteArray topic(message->topic);
    if (client->m_config.maxPayload > 0 && message->payloadlen > client->m_config.maxPayload) {
        client->defer(
            [client, topic, size = qint64(message->payloadlen)] { emit client->messageTooLong(topic, size); });
        return;
    }
    QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
    client->defer([client, topic, payload] { emit client->messageReceived(topic, payload); });
}
