// q330_pktdefs.h - the QDP command-table codec: every QDP payload to and from its host
// structure, and to parameter-file text.
//
// One row of the constant table `q330_pktdefs` per command code (codes above 0xFF name
// parts of a payload) gives the short name, the port and either a field list (Pktdef) or
// hooks for an irregular payload (status sub-blocks, token area, routing table, memory,
// EP delays and configuration, ping: q330_pktdefs_hooks.cpp). `q330_codedefs` gives the
// protocol name of each command and the messages of C1_CERR's error codes.
//
// Wire values are big-endian; decoders go through byte cursors and never lay a structure
// over bytes. Every decoder is bounded by the payload size it is given: a field-list
// payload shorter than its layout decodes the bytes present and zero-fills the rest (one
// complaint per command code); a hook whose block does not fit returns -1 and leaves the
// caller's structure as it was.
//
// Locking: the indexes are built once (std::call_once) by q330_pktdefs_init and read
// without a lock afterwards. The two address-text caches each have their own mutex; name
// lookups run outside it. Everything else is stateless and reentrant.
#pragma once

#include <cstdint>

struct Tbl;

// ---- Table rows -------------------------------------------------------------------

// Field types of a Pktdef.
enum {
  PKTDEF_UINT8 = 1,
  PKTDEF_UINT16 = 2,
  PKTDEF_INT16 = 3,  // token lists only
  PKTDEF_UINT32 = 4,
  PKTDEF_PSTR = 5,  // counted string; number = width on the wire, length byte included
  PKTDEF_FLOAT = 6,
  PKTDEF_CHARS = 7,  // token lists only: fixed-width characters, number = width
  PKTDEF_IPADDR = 8,
};

// One field of a payload layout. A negative number -N is N elements stored in reverse
// order in the host structure. offset is the place in the host structure (-1 in a token
// list: read and dropped).
struct Pktdef {
  const char *name;
  int type;
  int number;
  int offset;
};

typedef int (*Q330StuffHook)(unsigned char **cursor, void *qstruc);
typedef int (*Q330UnstuffHook)(void *qstruc, int pktsize, unsigned char **cursor);
typedef int (*Q330PfstuffHook)(void **stack, void *qstruc, int noipresolv);

struct Q330Pktdefs {
  int command;
  const char *name;
  int port_type;  // 1 control, 2 data
  const Pktdef *pktdef;
  int pktdef_size;
  Q330StuffHook stuff;
  Q330UnstuffHook unstuff;
  Q330PfstuffHook pfstuff;
};

struct Codedef {
  int code;
  const char *str;
};

struct Q330Codedefs {
  int command;
  const char *code;
  const Codedef *codedef;
  int codedef_size;
};

typedef int (*Qtpb14PfstuffHook)(void **stack, void *tokens);

struct Qtpb14Tokendefs {
  int id;
  const char *name;
  const Pktdef *tokendef;
  int tokendef_size;
  int token_size;  // bytes of the fixed fields on the wire
  Qtpb14PfstuffHook pfstuff;
};

extern const Q330Pktdefs q330_pktdefs[];
extern const int q330_pktdefs_size;
extern const Codedef CERR_Codedef[];
extern const int CERR_Codedef_size;
extern const Q330Codedefs q330_codedefs[];
extern const int q330_codedefs_size;
extern const Qtpb14Tokendefs qtpb14_tokendefs[];
extern const int qtpb14_tokendefs_size;

// The indexes, filled by q330_pktdefs_init: an entry per code, none where there is no row.
inline constexpr int Q330_PKTDEFS_INDEX_SIZE = 512;
inline constexpr int QTPB14_TOKENDEFS_INDEX_SIZE = 256;
extern const Q330Pktdefs *q330_pktdefs_index[Q330_PKTDEFS_INDEX_SIZE];
extern const Qtpb14Tokendefs *qtpb14_tokendefs_index[QTPB14_TOKENDEFS_INDEX_SIZE];
extern const Q330Codedefs *q330_codedefs_index[Q330_PKTDEFS_INDEX_SIZE];

// ---- Host structures of the flat layouts --------------------------------------------

struct Q330CERRPkt {
  uint16_t error_code;
};
struct Q330RQSRVPkt {
  uint32_t serial_number_high, serial_number_low;
};
struct Q330DSRVPkt {
  uint32_t serial_number_high, serial_number_low;
};
struct Q330SAUTHPkt {
  uint32_t serial_number_high, serial_number_low;
  uint32_t data_port_1_authorization_code_high, data_port_1_authorization_code_low;
  uint32_t data_port_2_authorization_code_high, data_port_2_authorization_code_low;
  uint32_t data_port_3_authorization_code_high, data_port_3_authorization_code_low;
  uint32_t data_port_4_authorization_code_high, data_port_4_authorization_code_low;
  uint32_t configuration_port_authorization_code_high, configuration_port_authorization_code_low;
  uint32_t special_functions_port_authorization_code_high;
  uint32_t special_functions_port_authorization_code_low;
};
struct Q330POLLSNPkt {
  uint16_t serial_number_mask, serial_number_match;
};
struct Q330RQLOGPkt {
  uint16_t logical_port_number;
};
struct Q330RQFLGSPkt {
  uint16_t logical_port_number;
};
struct Q330RQSTATPkt {
  uint32_t request_bitmap;
};
struct Q330RQMEMPkt {
  uint32_t starting_address;
  uint16_t byte_count, memory_type;
  uint32_t password_high, password_midhigh, password_midlow, password_low;
};
struct Q330UMSGPkt {
  uint32_t dummy;
  char msg[81];
};
struct Q330RQPHY2Pkt {
  uint16_t physical_interface_number;
};
struct Q330C2SBPWRPkt {
  uint16_t physical_interface, flag_and_timeout;
};
struct Q330LOGPkt {
  uint16_t logical_port_number, flags, percent_of_packet_buffer, mtu, group_count;
  uint16_t maximum_resend_timeout, group_timeout, minimum_resend_timeout, window_size;
  uint16_t data_sequence_number;
  uint16_t channel_freqs[6];
  uint16_t acknowledge_count, acknowledge_timeout;
  uint32_t old_data_threshold_time;
  uint16_t ethernet_throttle, alarm_percent, automatic_filters, manual_filters;
  uint32_t spare1;
};
struct Q330CTRLPkt {
  uint16_t flags;
};
struct Q330SRVCHPkt {
  uint32_t challenge_value_high, challenge_value_low;
  uint32_t server_ip_address;
  uint16_t server_udp_port, registration_number;
};
struct Q330MYSNPkt {
  uint32_t serial_number_high, serial_number_low, kmi_property_tag, user_tag;
};
struct Q330C1PHYPkt {
  uint32_t serial_number_high, serial_number_low;
  uint32_t serial_interface_1_ip_address, serial_interface_2_ip_address;
  uint32_t serial_interface_3_ip_address, ethernet_ip_address;
  uint32_t ethernet_mac_address_high;
  uint16_t ethernet_mac_address_low, base_port;
  uint16_t serial_interface_1_baud, serial_interface_1_flags;
  uint16_t serial_interface_2_baud, serial_interface_2_flags;
  uint16_t serial_interface_3_baud, serial_interface_3_flags;
  uint16_t reserved1, ethernet_flags;
  uint16_t serial_interface_1_throttle, serial_interface_2_throttle, serial_interface_3_throttle;
  uint16_t reserved2;
};
struct Q330SRVRSPPkt {
  uint32_t serial_number_high, serial_number_low;
  uint32_t challenge_value_high, challenge_value_low;
  uint32_t server_ip_address;
  uint16_t server_udp_port, registration_number;
  uint32_t server_random_value_high, server_random_value_low;
  uint8_t md5_digest[16];
};
struct Q330FIXPkt {
  uint32_t time_of_last_reboot, total_number_of_reboots;
  uint32_t backup_data_structure_bitmap, default_data_structure_bitmap;
  uint16_t calibrator_type, calibrator_version, aux_type, aux_version, clock_type, flags;
  uint16_t system_version, slave_processor_version, pld_version, memory_block_size;
  uint32_t kmi_property_tag;
  uint32_t system_serial_number_high, system_serial_number_low;
  uint32_t analog_motherboard_serial_number_high, analog_motherboard_serial_number_low;
  uint32_t seismometer_1_serial_number_high, seismometer_1_serial_number_low;
  uint32_t seismometer_2_serial_number_high, seismometer_2_serial_number_low;
  uint32_t qapchp_1_serial_number;
  uint32_t internal_data_memory_size, internal_data_memory_used;
  uint32_t external_data_memory_size, flash_memory_size, external_data_memory_used;
  uint32_t qapchp_2_serial_number;
  uint32_t logical_port_packet_memory_size[4];
  uint8_t bit_frequency[8];                    // wire order reversed
  uint32_t chans_1to3_bit_frequency_delay[8];  // wire order reversed
  uint32_t chans_4to6_bit_frequency_delay[8];  // wire order reversed
};
struct Q330SCPkt {
  uint32_t sensor_output_1_definition, sensor_output_2_definition, sensor_output_3_definition;
  uint32_t sensor_output_4_definition, sensor_output_5_definition, sensor_output_6_definition;
  uint32_t sensor_output_7_definition, sensor_output_8_definition;
};
struct Q330PULSEPkt {
  uint16_t sensor_control_bitmap, duration;
};
struct Q330QCALPkt {
  uint32_t starting_time;
  uint16_t waveform, amplitude, duration, settling_time, calibration_bitmap, trailer_time;
  uint16_t sensor_control_bitmap, monitor_channel_bitmap, frequency_divider, spare1;
  uint8_t coupling[12];
};
struct Q330MANPkt {
  uint32_t password_high, password_highm1, password_lowp1, password_low;
  uint16_t qapchp_1to3_type, qapchp_1to3_version, qapchp_4to6_type, qapchp_4to6_version;
  uint32_t qapchp_1to3_serial_number, qapchp_4to6_serial_number;
  uint32_t qapchp_channel_expected_counts_with_reference_applied[6];
  uint32_t born_on_time, packet_memory_installed;
  uint16_t clock_type, model_number, default_calibrator_offset, flags;
  uint32_t kmi_property_tag, maximum_power_on_seconds;
};
struct Q330SPPPkt {
  uint16_t maximum_main_current, minimum_off_time, minimum_ps_voltage, maximum_antenna_current;
  uint16_t minimum_temperature, maximum_temperature, temperature_hysteresis;
  uint16_t voltage_hysteresis, default_vco_value, spare1;
};
struct Q330PWRPkt {
  uint8_t q330_power_on, q330_power_off, ldsb_power_on, ldsb_power_off;
  uint8_t aux1_power_on, aux1_power_off, aux2_power_on, aux2_power_off;
  uint8_t aux3_power_on, aux3_power_off, aux4_power_on, aux4_power_off;
  uint8_t aux5_power_on, aux5_power_off, aux6_power_on, aux6_power_off;
  uint32_t capacity_charge_threshold;
  uint8_t minimum_bat_temp, maximum_bat_temp;
  uint16_t spare1;
};
struct Q330GIDPkt {
  char id_1_string[33], id_2_string[33], id_3_string[33], id_4_string[33], id_5_string[33];
  char id_6_string[33], id_7_string[33], id_8_string[33], id_9_string[33];
};
struct Q330DCPPkt {
  uint32_t channel_counts_with_grounded_input[6];
  uint32_t channel_counts_with_reference_input[6];
};
struct Q330DEVPkt {
  uint16_t port_number, unit_id, version, options;
  uint32_t serial_number_high, serial_number_low;
  uint16_t device_static_storage, seconds_since_heard;
};
struct Q330C2PHYPkt {
  uint16_t physical_interface_number, data_port_number;
  char modem_initialization[41], phone_number[41], user_name[33], password[33];
  uint32_t memory_trigger_level;
  uint16_t flags, power_off_time, interval, web_server_bps_limit;
  uint32_t baler_ip_address, baler_secondary_ip_address;
  uint16_t point_of_contact_port_number, baler_retries, baler_registration_timeout;
  uint16_t serial_baud_rate;
  uint32_t spare1;
};
struct Q330C2GPSPkt {
  uint16_t timing_mode, power_cycling_mode, gps_off_time, gps_resync_hour;
  uint16_t gps_maximum_on_time, pll_lock_usecs;
  uint32_t spare1;
  uint16_t pll_update_interval, pll_flags;
  float pfrac, vco_slope, vco_intercept, max_initial_km_rms, initial_km_weight;
  float best_vco_weight, km_delta;
  uint32_t spare2, spare3;
};
struct Q330C2WINPkt {
  uint16_t recording_flags, number_of_windows;
};
struct Q330C2AMASSPkt {
  uint16_t tolerance_a_1, tolerance_b_1, tolerance_c_1, maximum_tries_1, normal_interval_1;
  uint16_t squeltch_interval_1, sensor_control_bitmap_1, duration_1;
  uint16_t tolerance_a_2, tolerance_b_2, tolerance_c_2, maximum_tries_2, normal_interval_2;
  uint16_t squeltch_interval_2, sensor_control_bitmap_2, duration_2;
};
struct Q330C2POCPkt {
  uint32_t q330_serial_number_high, q330_serial_number_low;
  uint32_t q330_ip_address, poc_ip_address, netmask;
  uint16_t q330_base_port_number, data_port_number, web_server_bps_limit, flags;
  uint16_t access_timeout, serial_baud_rate;
  uint32_t baler_serial_number_high, baler_serial_number_low;
};

// ---- Status sub-blocks -----------------------------------------------------------------

struct Q330GLOBSTATPkt {
  uint16_t acquisition_control, clock_quality, minutes_since_loss;
  uint16_t analog_voltage_control_value;
  uint32_t seconds_offset, usec_offset, total_time, power_on_time;
  uint32_t time_of_last_resync, total_number_of_resyncs;
  uint16_t gps_status, calibrator_status, sensor_control_bitmap, current_vco;
  uint16_t data_sequence_number, pll_running_if_set, status_inputs, misc_inputs;
  uint32_t current_data_sequence_number;
};
struct Q330GPSSTATPkt {
  uint16_t gps_power_onoff_time, gps_on_if_set;
  uint16_t number_of_satellites_used, number_of_satellites_in_view;
  char gps_time_string[10], gps_date_string[12], gps_fix_string[6];
  char gps_height_string[12], gps_latitude_string[14], gps_longitude_string[14];
  uint32_t time_of_last_good_1pps, total_checksum_errors;
  double lat, lon, elev;
};
struct Q330PWRSTATPkt {
  uint16_t charging_phase, battery_temperature, battery_capacity, depth_of_discharge;
  uint16_t battery_voltage, input_voltage, battery_current, absorption_setpoint;
  uint16_t float_setpoint, spare1;
};
struct Q330BOOMSTATPkt {
  int16_t channel_boom[6];  // decoded and printed as unsigned 16-bit values
  uint16_t analog_positive_supply, analog_negative_supply, input_power, system_temperature;
  uint16_t main_current, gps_antenna_current;
  uint16_t seismometer_1_temperature, seismometer_2_temperature;
  uint32_t slave_processor_timeouts;
};
inline constexpr int Q330_THREADSTAT_MAX = 30;
inline constexpr int Q330_GPSSSTAT_MAX = 60;
inline constexpr int Q330_ARPSTAT_MAX = 40;
struct Q330THREADSTATEntry {
  uint32_t total_running_time_hi32;
  uint16_t total_running_time_lo16;
  uint8_t priority, priority_counter;
  uint32_t time_since_last_run_hi32;
  uint16_t time_since_last_run_lo16, flags;
};
struct Q330THREADSTATPkt {
  uint16_t number_of_entries, length_of_this_block;
  uint32_t total_system_time_hi32;
  uint16_t total_system_time_lo16, spare1;
  Q330THREADSTATEntry entries[Q330_THREADSTAT_MAX];
};
struct Q330PLLSTATPkt {
  float initial_vco, time_error, rms_vco, best_vco;
  uint32_t spare1, ticks_since_last_update;
  uint16_t km, state;
};
struct Q330GPSSSTATEntry {
  uint16_t satellite_number, elevation, azimuth, snr;
};
struct Q330GPSSSTATPkt {
  uint16_t number_of_entries, length_of_this_block;
  Q330GPSSSTATEntry entries[Q330_GPSSSTAT_MAX];
};
struct Q330ARPSTATEntry {
  uint32_t ip_address, mac_address_high;
  uint16_t mac_address_low, timeout;
};
struct Q330ARPSTATPkt {
  uint16_t number_of_entries, length_of_this_block;
  Q330ARPSTATEntry entries[Q330_ARPSTAT_MAX];
};
struct Q330LOGSTATPkt {
  uint32_t total_data_packets_sent, total_packets_resent, total_fill_packets_sent;
  uint32_t receive_sequence_errors, bytes_of_packet_currently_used;
  uint32_t time_of_last_data_packet_acked;
  uint16_t physical_port_number, logical_port_number, retransmission_timeout, flags;
};
struct Q330SERSTATPkt {
  uint32_t received_checksum_errors, total_io_errors;
  uint16_t physical_port_number, spare1;
  uint32_t destination_unreachable_icmp_packets_received, source_quench_icmp_packets_received;
  uint32_t echo_request_icmp_packets_received, redirect_icmp_packets_received;
  uint32_t character_overruns, framing_errors;
};
struct Q330ETHSTATPkt {
  uint32_t receive_checksum_errors, total_io_errors;
  uint16_t physical_port_number, spare1;
  uint32_t destination_unreachable_icmp_packets_received, source_quench_icmp_packets_received;
  uint32_t echo_request_icmp_packets_received, redirect_icmp_packets_received;
  uint32_t runt_frames, crc_errors, broadcast_frames, unicast_frames, total_good_frames;
  uint32_t jabber_errors, out_of_window, transmitted_ok, received_packets_missed;
  uint32_t transmit_collisions;
  uint16_t current_link_status, spare2;
  uint32_t spare3;
};
struct Q330BALERSTATPkt {
  uint32_t time_of_last_power_on, total_number_of_power_on_cycles;
  uint16_t baler_status_and_timeouts, baler_onoff_minutes;
};
struct Q330DYNIPSTATPkt {
  uint32_t serial_1_ip_address, serial_2_ip_address, reserved, ethernet_ip_address;
};
inline constexpr int Q330_AUXSTAT_MAX = 8;
struct Q330AUXSTATPkt {
  uint16_t size_of_this_block, packet_version, aux_type, aux_version;
  uint32_t data[Q330_AUXSTAT_MAX];
};
struct Q330SCHANSTATSubblock {
  uint16_t size_of_this_subblock, sensor_type, serial_interface, seconds_per_sample;
  uint16_t units, integration_time, fractional_digits, valid_fields;
  int32_t pressure_measurement, temperature_measurement, humidity_measurement;
  int32_t external_temperature_measurement;
  double calibP, calibT, calibH, calibET;
  char segtypeP[4], segtypeT[4], segtypeH[4], segtypeET[4];
};
struct Q330SCHANSTATPkt {
  uint16_t total_size_of_this_block, number_of_subblocks;
  Q330SCHANSTATSubblock subblock[2];
  // Which slots (serial interface 0 and 1) the last answer filled; only those are
  // printed and scaled.
  int filled[2];
};
struct Q330MSGSTATPkt {
  uint32_t senders_ip_address;
  char msg[81];
};

struct Q330GLOBPkt {
  uint16_t clock_timeout, initial_vco, gps_backup_power, aux_stat_sampling_rates;
  uint16_t gain_bitmap, filter_bitmap, input_bitmap, web_port, server_timeout;
  uint16_t drift_tolerance, jump_filter, jump_threshold, calibrator_offset;
  uint16_t sensor_control_bitmap, sampling_phase, gps_coldstart_seconds;
  uint32_t user_tag;
  uint16_t chan_freq_bit_scale[6][8];
  uint16_t channel_offset[6];
  uint16_t channel_gain[6];
  uint32_t message_bitmap;
};

struct Q330FLGSPkt {
  uint16_t offset_to_glob, offset_to_sc, offset_to_log, spare1;
  Q330FIXPkt fix;
  Q330GLOBPkt glob;
  Q330SCPkt sc;
  Q330LOGPkt log;
};

struct Q330STATPkt {
  uint32_t status_bitmap;
  Q330GLOBSTATPkt glob;
  Q330GPSSTATPkt gps;
  Q330PWRSTATPkt pwr;
  Q330BOOMSTATPkt boom;
  Q330THREADSTATPkt thread;
  Q330PLLSTATPkt pll;
  Q330GPSSSTATPkt gpss;
  Q330ARPSTATPkt arp;
  Q330LOGSTATPkt log[4];
  Q330SERSTATPkt serial[3];
  Q330ETHSTATPkt eth;
  Q330BALERSTATPkt baler[4];
  Q330DYNIPSTATPkt dynip;
  Q330AUXSTATPkt aux;
  Q330SCHANSTATPkt schan;
  Q330MSGSTATPkt msg;
};

inline constexpr int Q330_RT_MAX = 40;
inline constexpr int Q330_MEM_MAX = 8196;
inline constexpr int Q330_EP_MAX = 128;
struct Q330RTEntry {
  uint32_t ip_address;
  uint16_t physical_interface, data_port;
  uint32_t seconds_since_heard;
};
struct Q330RTPkt {
  uint16_t nentries;
  Q330RTEntry entries[Q330_RT_MAX];
};
struct Q330MEMPkt {
  uint32_t starting_address;
  uint16_t byte_count, memory_type, isegment, nsegment;
  unsigned char contents[Q330_MEM_MAX];
};
struct Q330C2EPDEntry {
  uint8_t channel;
  uint32_t filter_delay;
};
struct Q330C2EPDPkt {
  uint32_t reserved_serial_1, reserved_serial_2;
  uint16_t channel_count, spare1;
  Q330C2EPDEntry entries[Q330_EP_MAX];
};
struct Q330C2EPCFGEntry {
  uint8_t channel, output_mask;
};
struct Q330C2EPCFGPkt {
  uint32_t reserved_serial_1, reserved_serial_2, flags_serial_1, flags_serial_2;
  uint16_t channel_count, spare1;
  Q330C2EPCFGEntry entries[Q330_EP_MAX];
};

// Ping structures by ping type; every one begins with `type`. A decode may write the
// type-5 answer, so callers decode into a Q330PINGINFORSPkt (or a larger buffer).
struct Q330PINGPINGPkt {  // types 0 and 1
  uint16_t type, id;
  uint32_t data;
};
struct Q330PINGSTATRQPkt {  // type 2
  uint16_t type, user_message_number;
  uint32_t status_request_bitmap;
};
struct Q330PINGSTATRSPkt {  // type 3
  uint16_t type, user_message_number, drift_tolerance, user_message_count;
  uint32_t time_of_last_reboot, spare1, spare2;
  Q330STATPkt stat;
};
struct Q330PINGINFORQPkt {  // type 4
  uint16_t type, ignored;
};
struct Q330PINGINFORSPkt {  // type 5
  uint16_t type, ignored, version, flags;
  uint32_t kmi_property_tag, serial_number_high, serial_number_low;
  uint32_t data_port_1_packet_memory_size, data_port_2_packet_memory_size;
  uint32_t data_port_3_packet_memory_size, data_port_4_packet_memory_size;
  uint32_t serial_interface_1_memory_trigger_level, serial_interface_2_memory_trigger_level;
  uint32_t reserved1, ethernet_interface_memory_trigger_level;
  uint16_t serial_interface_1_advanced_flags, serial_interface_2_advanced_flags, reserved2;
  uint16_t ethernet_interface_advanced_flags, serial_interface_1_data_port_number;
  uint16_t serial_interface_2_data_port_number, reserved3, ethernet_interface_data_port_number;
  uint16_t calibration_error_bitmap;
};

// ---- Data port ---------------------------------------------------------------------------

inline constexpr int Q330_DATA_WORDS = 1000;
inline constexpr int Q330_DATA_BLKBUF = 16384;
inline constexpr int Q330_DATA_MAXBLOCKETTES = 134;
struct Q330DATABlockette {
  uint8_t channel;  // channel code of the blockette
  uint8_t type;     // form number of the decoded record
  void *blockette;  // the decoded record, inside blk_buf
};
// A decoded DT_DATA payload; the codec fills data_record_sequence, the datagram layer the
// rest.
struct Q330DATAPkt {
  uint32_t data_buf[Q330_DATA_WORDS];
  unsigned char blk_buf[Q330_DATA_BLKBUF];
  uint16_t qdp_sequence, qdp_ack;
  uint32_t data_record_sequence;
  int nblockettes;
  Q330DATABlockette blockette[Q330_DATA_MAXBLOCKETTES];
};
struct Q330FILLPkt {
  uint16_t qdp_sequence, qdp_ack;
  uint32_t data_record_sequence;
};
// The acknowledgement; qdp_ack travels in the datagram header, not in the payload.
struct Q330DACKPkt {
  uint16_t qdp_ack, new_throttle_value, spare1;
  uint32_t ack_bitmap_0to31, ack_bitmap_32to63, ack_bitmap_64to95, ack_bitmap_96to127;
  uint32_t spare2;
};

// ---- Token area ----------------------------------------------------------------------------

struct Qtpb14ChannelTokens {
  char qtpb14_chan[4], qtpb14_loc[4];
  char q330_netstachanloc[32];
  uint8_t lcqref, channel, stream;
  uint32_t options;
  int16_t rate;
  int acquiring;
};
struct Qtpb14Tokens {
  uint8_t version;
  char net[4], sta[8], msg_chan[4], msg_loc[4], timing_chan[4], timing_loc[4];
  char cfg_chan[4], cfg_loc[4];
  uint16_t web_port;
  Tbl *channels;  // of Qtpb14ChannelTokens *, owned by the set
};

// ---- Operations ------------------------------------------------------------------------------

// Builds the three indexes once per process; returns 0. Every operation below calls it.
int q330_pktdefs_init(void);

// The row of a command code, or none (codes outside 0..511 included).
const Q330Pktdefs *q330_pktdef_lookup(int command);

// 1 control port, 2 data port, or -1 (logged) for an unknown command.
int q330_get_port_type(int command);
// The protocol name of the low 8 bits of `command`, or "undef".
const char *q330_cmdstr(unsigned command);
// code < 0: the command's protocol name; else the message of `code`, or "Code 0x%2.2x
// Unknown". An unknown command writes and logs "q330_code2str: Command 0x%x not
// defined.\n" and gives -1; otherwise 0. `str` is always NUL-terminated (str_sz > 0).
int q330_code2str(int command, int code, char *str, int str_sz);

// Checks a received datagram: 0 good (fields stored), 1 CRC mismatch, 2 version not 2,
// 3 size is not length + 12 or outside 12..1024 bytes, -1 a failed conversion.
int q330_unstuff_pkt_hdr(const char *pkt, int nbytes, int *command, int *length, int *sequence,
                         int *ack);

// Decodes `pktsize` payload bytes at *udppkt into the command's structure and advances the
// cursor (never past the payload). 0; -1 for an unknown command or a hook's failure.
int q330_unstuff_qpkt(int command, void *qstruc, int pktsize, unsigned char **udppkt);
// Encodes the structure at *udppkt and advances the cursor by the payload written. 0 or -1.
int q330_stuff_qpkt(int command, unsigned char **udppkt, void *qstruc);
// Pushes the structure's text form on the text stack (base/tbl.h pushstr). 0, -1 for an
// unknown command, or the text hook's result.
int q330_pfstuff_qpkt(int command, void **stack, void *qstruc, int puthdr, int noipresolv);

// Formats (at most 8191 characters; longer text is cut) and pushes on the stack; 0.
int mypushstr(void **stack, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Text of a dotted address (four octets 0..255, anything after a blank ignored) to the
// host-order address; anything else gives 0. Cached (1024 texts at most). Returns 0.
int my_str2ip(const char *ipstr, unsigned *ipaddress);
// Host-order address to "a.b.c.d" (noipresolv) or "a.b.c.d (name)" / "a.b.c.d (?)".
// Resolved texts are cached per address (1024 at most). Returns 0.
int my_ip2str(unsigned ipaddress, char *ipstr, int noipresolv, int ipstr_sz);

// Counted strings of field width `length` (length byte included): unstuff_pstr copies at
// most length-1 characters into str (room for length bytes) and advances by length;
// stuff_pstr writes the length byte, the characters and zero filler, advancing by length.
int unstuff_pstr(char *str, int length, unsigned char **cursor);
int stuff_pstr(unsigned char **cursor, const char *str, int length);

// ---- Hooks (q330_pktdefs_hooks.cpp) -------------------------------------------------------

int q330_decode_GLOB(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_GLOB(void **stack, void *qstruc, int noipresolv);
int q330_decode_FLGS(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_FLGS(void **stack, void *qstruc, int noipresolv);
int q330_decode_STAT(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_STAT(void **stack, void *qstruc, int noipresolv);
int q330_decode_GPSSTAT(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_GPSSTAT(void **stack, void *qstruc, int noipresolv);
int q330_decode_THREADSTAT(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_THREADSTAT(void **stack, void *qstruc, int noipresolv);
int q330_decode_GPSSSTAT(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_GPSSSTAT(void **stack, void *qstruc, int noipresolv);
int q330_decode_ARPSTAT(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_ARPSTAT(void **stack, void *qstruc, int noipresolv);
int q330_decode_AUXSTAT(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_AUXSTAT(void **stack, void *qstruc, int noipresolv);
int q330_decode_SCHANSTAT(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_SCHANSTAT(void **stack, void *qstruc, int noipresolv);
int q330_decode_RT(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_RT(void **stack, void *qstruc, int noipresolv);
int q330_decode_MEM(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_MEM(void **stack, void *qstruc, int noipresolv);
int q330_decode_EPD(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_EPD(void **stack, void *qstruc, int noipresolv);
int q330_encode_EPCFG(unsigned char **cursor, void *qstruc);
int q330_decode_EPCFG(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_EPCFG(void **stack, void *qstruc, int noipresolv);
int q330_encode_PING(unsigned char **cursor, void *qstruc);
int q330_decode_PING(void *qstruc, int pktsize, unsigned char **cursor);
int q330_pfstuff_PING(void **stack, void *qstruc, int noipresolv);

// Position texts of the GPS status: "123.4M" metres; "4916.4508N" / "12310.1234W"
// degrees and minutes. Unreadable text gives -999.0. Both return 0.
int unstuff_elev(double *elev, const char *text);
int unstuff_latlon(double *latlon, const char *text);

// Decodes a token area of `nbytes` bytes into `tokens`, replacing what it held (a zeroed
// set, or one filled before). Bad tokens are logged, dropped, and the walk goes on. 0.
int q330_unstuff_qtpb14_tokens(Qtpb14Tokens *tokens, const char *buffer, int nbytes);
// Decodes one token's fixed fields at *cursor (the token's token_size bytes must be there)
// and advances past them. 0, or -1 (registered) for an unknown id or a failed allocation.
int q330_unstuff_qtpb14_token(int id, Qtpb14Tokens *tokens, unsigned char **cursor);
// Frees the channel list of a token set (the set itself is the caller's).
void q330_free_qtpb14_tokens(Qtpb14Tokens *tokens);
int q330_pfstuff_qtpb14_tokens(int memory_type, void **stack, const Qtpb14Tokens *tokens);
int q330_pfstuff_tokens(void **stack, int memory_type, const unsigned char *bytes, int ntok);

// Shared by the codec and its hooks: decodes a block of the row `command` from at most
// `avail` bytes, strictly: a field-list layout longer than `avail` gives -1 and writes
// nothing. 0 or -1.
int q330_unstuff_block(int command, void *qstruc, int avail, unsigned char **cursor);
// Wire size of a row's field list (0 for hook rows and empty rows, -1 unknown command).
int q330_pktdef_wire_size(int command);
