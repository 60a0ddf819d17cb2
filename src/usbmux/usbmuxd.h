/* The C interface through which the engine reaches the system's USB multiplexing service: the
 * names, signatures, struct layouts and results that programs written for the service's usual
 * client library expect, implemented by our own client (usbmux_client.cpp). The DLL exports these
 * under their own names. Results are 0 or a non-negative count on success, otherwise a negative
 * errno value of the platform (with the Windows C runtime: ECONNREFUSED 107, ECONNRESET 108,
 * ETIMEDOUT 138). */
#ifndef KAVEX_USBMUXD_H
#define KAVEX_USBMUXD_H
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum usbmux_lookup_options {
  DEVICE_LOOKUP_USBMUX = 1 << 1,
  DEVICE_LOOKUP_NETWORK = 1 << 2,
  DEVICE_LOOKUP_PREFER_NETWORK = 1 << 3
};

enum usbmux_connection_type { CONNECTION_TYPE_USB = 1, CONNECTION_TYPE_NETWORK };

/* 256 bytes: what the service says of one device. handle is opaque (the service's device id). */
typedef struct {
  uint32_t handle;
  uint32_t product_id;
  char udid[44];
  enum usbmux_connection_type conn_type;
  char conn_data[200];
} usbmuxd_device_info_t;

enum usbmuxd_event_type { UE_DEVICE_ADD = 1, UE_DEVICE_REMOVE, UE_DEVICE_PAIRED };

typedef struct {
  int event;
  usbmuxd_device_info_t device;
} usbmuxd_event_t;

typedef void (*usbmuxd_event_cb_t)(const usbmuxd_event_t* event, void* user_data);
typedef struct usbmuxd_subscription_context* usbmuxd_subscription_context_t;

int usbmuxd_events_subscribe(usbmuxd_subscription_context_t* context, usbmuxd_event_cb_t callback, void* user_data);
int usbmuxd_events_unsubscribe(usbmuxd_subscription_context_t context);
int usbmuxd_subscribe(usbmuxd_event_cb_t callback, void* user_data);
int usbmuxd_unsubscribe(void);
int usbmuxd_get_device_list(usbmuxd_device_info_t** device_list);
int usbmuxd_device_list_free(usbmuxd_device_info_t** device_list);
int usbmuxd_get_device_by_udid(const char* udid, usbmuxd_device_info_t* device);
int usbmuxd_get_device(const char* udid, usbmuxd_device_info_t* device, enum usbmux_lookup_options options);
int usbmuxd_connect(const uint32_t handle, const unsigned short tcp_port);
int usbmuxd_disconnect(int sfd);
int usbmuxd_send(int sfd, const char* data, uint32_t len, uint32_t* sent_bytes);
int usbmuxd_recv_timeout(int sfd, char* data, uint32_t len, uint32_t* recv_bytes, unsigned int timeout);
int usbmuxd_recv(int sfd, char* data, uint32_t len, uint32_t* recv_bytes);
int usbmuxd_read_buid(char** buid);
int usbmuxd_read_pair_record(const char* record_id, char** record_data, uint32_t* record_size);
int usbmuxd_save_pair_record(const char* record_id, const char* record_data, uint32_t record_size);
int usbmuxd_save_pair_record_with_device_id(const char* record_id, uint32_t device_id, const char* record_data,
                                            uint32_t record_size);
int usbmuxd_delete_pair_record(const char* record_id);
void libusbmuxd_set_use_inotify(int set);
void libusbmuxd_set_debug_level(int level);

#ifdef __cplusplus
}
#endif
#endif
