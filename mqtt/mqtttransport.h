#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// What the publisher and the collector need of a connection to the broker:
// a link that connects by itself and keeps trying, publishes with message
// ids, subscribes, and tells when the broker has taken a message. The
// program hands them an MqttClient (the real broker through libmosquitto);
// a test may hand them one that carries the messages in memory.
//
// Contract: after open() the transport tries to connect until close();
// outage() is emitted once when a connection is lost (or the first attempt
// fails), connected() when it is up again (subscriptions renewed by then).
// publish() returns a message id >= 0, or -1 when it cannot go now; for
// QoS 1, published(mid) follows once the broker has it. A message on its
// way when the connection broke may or may not be acknowledged later.
class MqttTransport : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void open() = 0;
    // A clean goodbye (the broker then drops the last will).
    virtual void close() = 0;
    virtual bool isConnected() const = 0;
    virtual int publish(const QByteArray &topic, const QByteArray &payload, int qos = 1, bool retain = false) = 0;
    // Subscribes on every connection from now on (at once when connected).
    virtual void subscribe(const QByteArray &filter, int qos = 1) = 0;

signals:
    void connected();
    void outage(const QString &why);
    // The broker has taken message `mid` (PUBACK).
    void published(int mid);
    void messageReceived(const QByteArray &topic, const QByteArray &payload);
    // A message longer than the transport takes, let go without a copy.
    void messageTooLong(const QByteArray &topic, qint64 size);
};
