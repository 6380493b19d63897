#include "platform/linux/SecretServiceKeychain.h"

#include "platform/Task.h"

// Creating an item in a chosen collection without libsecret's unlock-and-retry
// (which prompts) needs its lower-level path API.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

namespace tamsel::platform {
namespace {

constexpr const char* kCollectionInterface = "org.freedesktop.Secret.Collection";

const SecretSchema* schema() {
    static const SecretSchema value = [] {
        SecretSchema s{};
        s.name = SecretServiceKeychain::kSchemaName;
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"access-group", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &value;
}

// Owners of GLib references, released in reverse order of creation.
struct ErrorOwner {
    GError* error = nullptr;
    ~ErrorOwner() { g_clear_error(&error); }
};
template <class T>
struct ObjectOwner {
    T* object = nullptr;
    ~ObjectOwner() {
        if (object) g_object_unref(object);
    }
};

// Cancels the call's cancellable once the time limit (or the run's deadline,
// when sooner) has passed, so that no GDBus call (whose own limit is 25 s)
// outlives ours.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::milliseconds limit) : cancellable_(g_cancellable_new()) {
        thread_ = std::thread([this, deadline = waitDeadline(limit)] {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_until(lock, deadline, [&] { return finished_; }))
                g_cancellable_cancel(cancellable_);
        });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
        thread_.join();
        g_object_unref(cancellable_);
    }
    GCancellable* cancellable() const { return cancellable_; }

  private:
    GCancellable* cancellable_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    std::thread thread_;
};

// What a GLib error means for the caller.
KeychainStatus statusOf(const GError* error) {
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) return kErrSecInteractionNotAllowed;
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)) return kErrSecItemNotFound;
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
            case G_DBUS_ERROR_SERVICE_UNKNOWN:
            case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
            case G_DBUS_ERROR_NO_REPLY:
            case G_DBUS_ERROR_TIMEOUT:
            case G_DBUS_ERROR_TIMED_OUT:
            case G_DBUS_ERROR_DISCONNECTED:
            case G_DBUS_ERROR_NO_SERVER:
            case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
            case G_DBUS_ERROR_SPAWN_FORK_FAILED:
            case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
            case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
            case G_DBUS_ERROR_SPAWN_FAILED:
            case G_DBUS_ERROR_SPAWN_SETUP_FAILED:
            case G_DBUS_ERROR_SPAWN_CONFIG_INVALID:
            case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
            case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
            case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
            case G_DBUS_ERROR_SPAWN_FILE_INVALID:
            case G_DBUS_ERROR_SPAWN_NO_MEMORY:
                return SecretServiceKeychain::kServiceUnavailable;
            default:
                return kErrSecInteractionNotAllowed;  // the service said no
        }
    }
    // A remote error the bus does not know by name is still the service's refusal.
    if (g_dbus_error_is_remote_error(error)) return kErrSecInteractionNotAllowed;
    // Cancelled by the watchdog, no bus, a broken connection, a malformed reply.
    return SecretServiceKeychain::kServiceUnavailable;
}

// A client of the Secret Service on the user's session bus.
struct ServiceClient {
    ObjectOwner<GDBusConnection> connection;
    ObjectOwner<SecretService> service;

    // Nothing when connected; otherwise the status to answer.
    std::optional<KeychainStatus> open(GCancellable* cancellable) {
        ErrorOwner error;
        // The process's one session-bus connection, which libsecret uses too. By
        // default GLib ends the process when that bus goes away; a keychain
        // lookup must fail instead.
        connection.object = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &error.error);
        if (!connection.object) return SecretServiceKeychain::kServiceUnavailable;
        g_dbus_connection_set_exit_on_close(connection.object, FALSE);
        // A new client each time rather than libsecret's shared one, which would
        // keep a session and the first owner's state for the life of the process.
        service.object = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE,
                                                  cancellable, &error.error);
        if (!service.object) return statusOf(error.error);
        return std::nullopt;
    }
};

GHashTable* attributesOf(const std::string& accessGroup, const std::string& service,
                         const std::string& account) {
    GHashTable* attributes = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    g_hash_table_insert(attributes, g_strdup("access-group"), g_strdup(accessGroup.c_str()));
    g_hash_table_insert(attributes, g_strdup("service"), g_strdup(service.c_str()));
    g_hash_table_insert(attributes, g_strdup("account"), g_strdup(account.c_str()));
    return attributes;
}

// The Locked property of a collection, read straight from the service.
std::variant<bool, KeychainStatus> collectionLocked(GDBusConnection* connection, const gchar* path,
                                                    GCancellable* cancellable) {
    ErrorOwner error;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.secrets", path, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kCollectionInterface, "Locked"), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
        -1, cancellable, &error.error);
    if (!reply) return statusOf(error.error);
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    std::variant<bool, KeychainStatus> locked = SecretServiceKeychain::kServiceUnavailable;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) locked = g_variant_get_boolean(value) != FALSE;
    g_variant_unref(value);
    g_variant_unref(reply);
    return locked;
}

}  // namespace

SecretServiceKeychain::SecretServiceKeychain(Settings settings) : settings_(std::move(settings)) {}

KeychainResult SecretServiceKeychain::copyMatching(const KeychainQuery& query) {
    auto checked = itemKeyOf(query);
    if (auto* status = std::get_if<KeychainStatus>(&checked)) return {*status, std::nullopt};
    const KeychainItemKey& key = std::get<KeychainItemKey>(checked);

    Watchdog watchdog(settings_.timeLimit);
    ServiceClient client;
    if (auto status = client.open(watchdog.cancellable())) return {*status, std::nullopt};

    GHashTable* attributes = attributesOf(key.accessGroup, key.service, key.account);
    ErrorOwner error;
    // Neither SECRET_SEARCH_UNLOCK (it prompts) nor a plain lookup (it unlocks):
    // items of a locked collection come back locked and without their secret.
    GList* items = secret_service_search_sync(
        client.service.object, schema(), attributes,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | (key.returnData ? SECRET_SEARCH_LOAD_SECRETS : 0)),
        watchdog.cancellable(), &error.error);
    g_hash_table_unref(attributes);
    if (error.error) return {statusOf(error.error), std::nullopt};

    KeychainResult result{kErrSecItemNotFound, std::nullopt};
    for (GList* node = items; node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (secret_item_get_locked(item)) {
            result.status = kErrSecInteractionNotAllowed;
            continue;
        }
        if (!key.returnData) {
            result = {kErrSecSuccess, std::nullopt};
            break;
        }
        SecretValue* value = secret_item_get_secret(item);
        if (!value) {
            // Unlocked, yet the service did not hand the secret over.
            result.status = kErrSecInteractionNotAllowed;
            continue;
        }
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        result = {kErrSecSuccess, KeychainData(reinterpret_cast<const std::uint8_t*>(bytes),
                                               reinterpret_cast<const std::uint8_t*>(bytes) + length)};
        secret_value_unref(value);
        break;
    }
    g_list_free_full(items, g_object_unref);
    return result;
}

KeychainStatus SecretServiceKeychain::store(const std::string& accessGroup, const std::string& service,
                                            const std::string& account, const KeychainData& data) {
    for (const std::string* value : {&accessGroup, &service, &account})
        if (value->empty() || value->find('\0') != std::string::npos ||
            !g_utf8_validate(value->data(), -1, nullptr))
            return kErrSecParam;

    Watchdog watchdog(settings_.timeLimit);
    ServiceClient client;
    if (auto status = client.open(watchdog.cancellable())) return *status;
    SecretService* secrets = client.service.object;

    ErrorOwner error;
    gchar* collection =
        secret_service_read_alias_dbus_path_sync(secrets, "default", watchdog.cancellable(), &error.error);
    if (error.error) return statusOf(error.error);
    // No default collection: making one would prompt for its password.
    if (!collection) return kErrSecInteractionNotAllowed;
    auto locked = collectionLocked(client.connection.object, collection, watchdog.cancellable());
    if (auto* status = std::get_if<KeychainStatus>(&locked)) {
        g_free(collection);
        return *status;
    }
    if (std::get<bool>(locked)) {
        g_free(collection);
        return kErrSecInteractionNotAllowed;
    }
    if (!secret_service_ensure_session_sync(secrets, watchdog.cancellable(), &error.error)) {
        g_free(collection);
        return statusOf(error.error);
    }

    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "xdg:schema", kSchemaName);
    g_variant_builder_add(&attributes, "{ss}", "access-group", accessGroup.c_str());
    g_variant_builder_add(&attributes, "{ss}", "service", service.c_str());
    g_variant_builder_add(&attributes, "{ss}", "account", account.c_str());
    GHashTable* properties = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr,
                                                   reinterpret_cast<GDestroyNotify>(g_variant_unref));
    g_hash_table_insert(properties, const_cast<gchar*>("org.freedesktop.Secret.Item.Label"),
                        g_variant_ref_sink(g_variant_new_string((service + " (" + account + ")").c_str())));
    g_hash_table_insert(properties, const_cast<gchar*>("org.freedesktop.Secret.Item.Attributes"),
                        g_variant_ref_sink(g_variant_builder_end(&attributes)));
    SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(data.data()),
                                          static_cast<gssize>(data.size()), "application/octet-stream");

    gchar* item = secret_service_create_item_dbus_path_sync(secrets, collection, properties, value,
                                                            SECRET_ITEM_CREATE_REPLACE,
                                                            watchdog.cancellable(), &error.error);
    secret_value_unref(value);
    g_hash_table_unref(properties);
    g_free(collection);
    if (!item) return error.error ? statusOf(error.error) : kServiceUnavailable;
    g_free(item);
    return kErrSecSuccess;
}

}  // namespace tamsel::platform
