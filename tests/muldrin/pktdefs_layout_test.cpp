// Tests of the field-list rows of the QDP command table. Each layout is written out here
// afresh from the protocol's layout tables (type, count and name of every field in wire
// order); the test builds golden bytes from it, decodes them, encodes the structure back,
// and reads the text form back with pfcompile, so a wrong offset, width, order, name or
// byte order in the codec's own table shows up.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/pf.h"
#include "base/tbl.h"
#include "q330_pktdefs.h"
#include "testkit/testkit.h"

namespace {

struct Layout {
  int command;
  const char *row;
  int size;
  // Fields in wire order: "type name" with type u1, u2, u4, ip, f4, s<width>; an array
  // is "u4*6 name", a reversed array "u1r8 name".
  const char *fields;
};

const Layout kLayouts[] = {
    {0xA2, "cerr", 2, "u2 error_code"},
    {0x10, "rqsrv", 8, "u4 serial_number_high; u4 serial_number_low"},
    {0x12, "dsrv", 8, "u4 serial_number_high; u4 serial_number_low"},
    {0x13, "sauth", 56,
     "u4 serial_number_high; u4 serial_number_low; u4 data_port_1_authorization_code_high; "
     "u4 data_port_1_authorization_code_low; u4 data_port_2_authorization_code_high; "
     "u4 data_port_2_authorization_code_low; u4 data_port_3_authorization_code_high; "
     "u4 data_port_3_authorization_code_low; u4 data_port_4_authorization_code_high; "
     "u4 data_port_4_authorization_code_low; u4 configuration_port_authorization_code_high; "
     "u4 configuration_port_authorization_code_low; "
     "u4 special_functions_port_authorization_code_high; "
     "u4 special_functions_port_authorization_code_low"},
    {0x14, "pollsn", 4, "u2 serial_number_mask; u2 serial_number_match"},
    {0x18, "rqlog", 2, "u2 logical_port_number"},
    {0x34, "rqflgs", 2, "u2 logical_port_number"},
    {0x1F, "rqstat", 4, "u4 request_bitmap"},
    {0x41, "rqmem", 24,
     "u4 starting_address; u2 byte_count; u2 memory_type; u4 password_high; "
     "u4 password_midhigh; u4 password_midlow; u4 password_low"},
    {0x30, "umsg", 84, "u4 dummy; s80 msg"},
    {0x51, "rqphyc2", 2, "u2 physical_interface_number"},
    {0x59, "sbpwrc2", 4, "u2 physical_interface; u2 flag_and_timeout"},
    {0x17, "slog", 52,
     "u2 logical_port_number; u2 flags; u2 percent_of_packet_buffer; u2 mtu; u2 group_count; "
     "u2 maximum_resend_timeout; u2 group_timeout; u2 minimum_resend_timeout; u2 window_size; "
     "u2 data_sequence_number; u2*6 channel_freqs; u2 acknowledge_count; "
     "u2 acknowledge_timeout; u4 old_data_threshold_time; u2 ethernet_throttle; "
     "u2 alarm_percent; u2 automatic_filters; u2 manual_filters; u4 spare1"},
    {0xA5, "log", 52,
     "u2 logical_port_number; u2 flags; u2 percent_of_packet_buffer; u2 mtu; u2 group_count; "
     "u2 maximum_resend_timeout; u2 group_timeout; u2 minimum_resend_timeout; u2 window_size; "
     "u2 data_sequence_number; u2*6 channel_freqs; u2 acknowledge_count; "
     "u2 acknowledge_timeout; u4 old_data_threshold_time; u2 ethernet_throttle; "
     "u2 alarm_percent; u2 automatic_filters; u2 manual_filters; u4 spare1"},
    {0x19, "ctrl", 2, "u2 flags"},
    {0xA1, "srvch", 16,
     "u4 challenge_value_high; u4 challenge_value_low; ip server_ip_address; "
     "u2 server_udp_port; u2 registration_number"},
    {0xA3, "mysn", 16,
     "u4 serial_number_high; u4 serial_number_low; u4 kmi_property_tag; u4 user_tag"},
    {0x15, "sphy", 56,
     "u4 serial_number_high; u4 serial_number_low; ip serial_interface_1_ip_address; "
     "ip serial_interface_2_ip_address; ip serial_interface_3_ip_address; "
     "ip ethernet_ip_address; u4 ethernet_mac_address_high; u2 ethernet_mac_address_low; "
     "u2 base_port; u2 serial_interface_1_baud; u2 serial_interface_1_flags; "
     "u2 serial_interface_2_baud; u2 serial_interface_2_flags; u2 serial_interface_3_baud; "
     "u2 serial_interface_3_flags; u2 reserved1; u2 ethernet_flags; "
     "u2 serial_interface_1_throttle; u2 serial_interface_2_throttle; "
     "u2 serial_interface_3_throttle; u2 reserved2"},
    {0xA4, "phyc1", 56,
     "u4 serial_number_high; u4 serial_number_low; ip serial_interface_1_ip_address; "
     "ip serial_interface_2_ip_address; ip serial_interface_3_ip_address; "
     "ip ethernet_ip_address; u4 ethernet_mac_address_high; u2 ethernet_mac_address_low; "
     "u2 base_port; u2 serial_interface_1_baud; u2 serial_interface_1_flags; "
     "u2 serial_interface_2_baud; u2 serial_interface_2_flags; u2 serial_interface_3_baud; "
     "u2 serial_interface_3_flags; u2 reserved1; u2 ethernet_flags; "
     "u2 serial_interface_1_throttle; u2 serial_interface_2_throttle; "
     "u2 serial_interface_3_throttle; u2 reserved2"},
    {0x11, "srcrsp", 48,
     "u4 serial_number_high; u4 serial_number_low; u4 challenge_value_high; "
     "u4 challenge_value_low; ip server_ip_address; u2 server_udp_port; "
     "u2 registration_number; u4 server_random_value_high; u4 server_random_value_low; "
     "u1*16 md5_digest"},
    {0xA7, "fix", 188,
     "u4 time_of_last_reboot; u4 total_number_of_reboots; u4 backup_data_structure_bitmap; "
     "u4 default_data_structure_bitmap; u2 calibrator_type; u2 calibrator_version; "
     "u2 aux_type; u2 aux_version; u2 clock_type; u2 flags; u2 system_version; "
     "u2 slave_processor_version; u2 pld_version; u2 memory_block_size; u4 kmi_property_tag; "
     "u4 system_serial_number_high; u4 system_serial_number_low; "
     "u4 analog_motherboard_serial_number_high; u4 analog_motherboard_serial_number_low; "
     "u4 seismometer_1_serial_number_high; u4 seismometer_1_serial_number_low; "
     "u4 seismometer_2_serial_number_high; u4 seismometer_2_serial_number_low; "
     "u4 qapchp_1_serial_number; u4 internal_data_memory_size; u4 internal_data_memory_used; "
     "u4 external_data_memory_size; u4 flash_memory_size; u4 external_data_memory_used; "
     "u4 qapchp_2_serial_number; u4*4 logical_port_packet_memory_size; u1r8 bit_frequency; "
     "u4r8 chans_1to3_bit_frequency_delay; u4r8 chans_4to6_bit_frequency_delay"},
    {0xAF, "sc", 32,
     "u4 sensor_output_1_definition; u4 sensor_output_2_definition; "
     "u4 sensor_output_3_definition; u4 sensor_output_4_definition; "
     "u4 sensor_output_5_definition; u4 sensor_output_6_definition; "
     "u4 sensor_output_7_definition; u4 sensor_output_8_definition"},
    {0x22, "pulse", 4, "u2 sensor_control_bitmap; u2 duration"},
    {0x23, "qcal", 36,
     "u4 starting_time; u2 waveform; u2 amplitude; u2 duration; u2 settling_time; "
     "u2 calibration_bitmap; u2 trailer_time; u2 sensor_control_bitmap; "
     "u2 monitor_channel_bitmap; u2 frequency_divider; u2 spare1; u1*12 coupling"},
    {0xA8, "man", 80,
     "u4 password_high; u4 password_highm1; u4 password_lowp1; u4 password_low; "
     "u2 qapchp_1to3_type; u2 qapchp_1to3_version; u2 qapchp_4to6_type; "
     "u2 qapchp_4to6_version; u4 qapchp_1to3_serial_number; u4 qapchp_4to6_serial_number; "
     "u4*6 qapchp_channel_expected_counts_with_reference_applied; u4 born_on_time; "
     "u4 packet_memory_installed; u2 clock_type; u2 model_number; "
     "u2 default_calibrator_offset; u2 flags; u4 kmi_property_tag; "
     "u4 maximum_power_on_seconds"},
    {0xAE, "spp", 20,
     "u2 maximum_main_current; u2 minimum_off_time; u2 minimum_ps_voltage; "
     "u2 maximum_antenna_current; u2 minimum_temperature; u2 maximum_temperature; "
     "u2 temperature_hysteresis; u2 voltage_hysteresis; u2 default_vco_value; u2 spare1"},
    {0xB0, "pwr", 24,
     "u1 q330_power_on; u1 q330_power_off; u1 ldsb_power_on; u1 ldsb_power_off; "
     "u1 aux1_power_on; u1 aux1_power_off; u1 aux2_power_on; u1 aux2_power_off; "
     "u1 aux3_power_on; u1 aux3_power_off; u1 aux4_power_on; u1 aux4_power_off; "
     "u1 aux5_power_on; u1 aux5_power_off; u1 aux6_power_on; u1 aux6_power_off; "
     "u4 capacity_charge_threshold; u1 minimum_bat_temp; u1 maximum_bat_temp; u2 spare1"},
    {0xAC, "gid", 288,
     "s32 id_1_string; s32 id_2_string; s32 id_3_string; s32 id_4_string; s32 id_5_string; "
     "s32 id_6_string; s32 id_7_string; s32 id_8_string; s32 id_9_string"},
    {0xB2, "dcp", 48,
     "u4*6 channel_counts_with_grounded_input; u4*6 channel_counts_with_reference_input"},
    {0xB3, "dev", 20,
     "u2 port_number; u2 unit_id; u2 version; u2 options; u4 serial_number_high; "
     "u4 serial_number_low; u2 device_static_storage; u2 seconds_since_heard"},
    {0xC0, "phyc2", 180,
     "u2 physical_interface_number; u2 data_port_number; s40 modem_initialization; "
     "s40 phone_number; s32 user_name; s32 password; u4 memory_trigger_level; u2 flags; "
     "u2 power_off_time; u2 interval; u2 web_server_bps_limit; ip baler_ip_address; "
     "ip baler_secondary_ip_address; u2 point_of_contact_port_number; u2 baler_retries; "
     "u2 baler_registration_timeout; u2 serial_baud_rate; u4 spare1"},
    {0xC1, "gpsc2", 56,
     "u2 timing_mode; u2 power_cycling_mode; u2 gps_off_time; u2 gps_resync_hour; "
     "u2 gps_maximum_on_time; u2 pll_lock_usecs; u4 spare1; u2 pll_update_interval; "
     "u2 pll_flags; f4 pfrac; f4 vco_slope; f4 vco_intercept; f4 max_initial_km_rms; "
     "f4 initial_km_weight; f4 best_vco_weight; f4 km_delta; u4 spare2; u4 spare3"},
    {0xC2, "winc2", 4, "u2 recording_flags; u2 number_of_windows"},
    {0xC4, "amassc2", 32,
     "u2 tolerance_a_1; u2 tolerance_b_1; u2 tolerance_c_1; u2 maximum_tries_1; "
     "u2 normal_interval_1; u2 squeltch_interval_1; u2 sensor_control_bitmap_1; "
     "u2 duration_1; u2 tolerance_a_2; u2 tolerance_b_2; u2 tolerance_c_2; "
     "u2 maximum_tries_2; u2 normal_interval_2; u2 squeltch_interval_2; "
     "u2 sensor_control_bitmap_2; u2 duration_2"},
    {0xC5, "pocc2", 40,
     "u4 q330_serial_number_high; u4 q330_serial_number_low; ip q330_ip_address; "
     "ip poc_ip_address; u4 netmask; u2 q330_base_port_number; u2 data_port_number; "
     "u2 web_server_bps_limit; u2 flags; u2 access_timeout; u2 serial_baud_rate; "
     "u4 baler_serial_number_high; u4 baler_serial_number_low"},
    {0x101, "flgs", 8, "u2 offset_to_glob; u2 offset_to_sc; u2 offset_to_log; u2 spare1"},
    {0x102, "stat", 4, "u4 status_bitmap"},
    {0x103, "glob", 52,
     "u2 acquisition_control; u2 clock_quality; u2 minutes_since_loss; "
     "u2 analog_voltage_control_value; u4 seconds_offset; u4 usec_offset; u4 total_time; "
     "u4 power_on_time; u4 time_of_last_resync; u4 total_number_of_resyncs; u2 gps_status; "
     "u2 calibrator_status; u2 sensor_control_bitmap; u2 current_vco; "
     "u2 data_sequence_number; u2 pll_running_if_set; u2 status_inputs; u2 misc_inputs; "
     "u4 current_data_sequence_number"},
    {0x105, "pwr", 20,
     "u2 charging_phase; u2 battery_temperature; u2 battery_capacity; u2 depth_of_discharge; "
     "u2 battery_voltage; u2 input_voltage; u2 battery_current; u2 absorption_setpoint; "
     "u2 float_setpoint; u2 spare1"},
    {0x106, "boom", 32,
     "u2*6 channel_boom; u2 analog_positive_supply; u2 analog_negative_supply; "
     "u2 input_power; u2 system_temperature; u2 main_current; u2 gps_antenna_current; "
     "u2 seismometer_1_temperature; u2 seismometer_2_temperature; "
     "u4 slave_processor_timeouts"},
    {0x108, "pll", 28,
     "f4 initial_vco; f4 time_error; f4 rms_vco; f4 best_vco; u4 spare1; "
     "u4 ticks_since_last_update; u2 km; u2 state"},
    {0x10B, "log", 32,
     "u4 total_data_packets_sent; u4 total_packets_resent; u4 total_fill_packets_sent; "
     "u4 receive_sequence_errors; u4 bytes_of_packet_currently_used; "
     "u4 time_of_last_data_packet_acked; u2 physical_port_number; u2 logical_port_number; "
     "u2 retransmission_timeout; u2 flags"},
    {0x10C, "ser", 36,
     "u4 received_checksum_errors; u4 total_io_errors; u2 physical_port_number; u2 spare1; "
     "u4 destination_unreachable_icmp_packets_received; "
     "u4 source_quench_icmp_packets_received; u4 echo_request_icmp_packets_received; "
     "u4 redirect_icmp_packets_received; u4 character_overruns; u4 framing_errors"},
    {0x10D, "eth", 76,
     "u4 receive_checksum_errors; u4 total_io_errors; u2 physical_port_number; u2 spare1; "
     "u4 destination_unreachable_icmp_packets_received; "
     "u4 source_quench_icmp_packets_received; u4 echo_request_icmp_packets_received; "
     "u4 redirect_icmp_packets_received; u4 runt_frames; u4 crc_errors; "
     "u4 broadcast_frames; u4 unicast_frames; u4 total_good_frames; u4 jabber_errors; "
     "u4 out_of_window; u4 transmitted_ok; u4 received_packets_missed; "
     "u4 transmit_collisions; u2 current_link_status; u2 spare2; u4 spare3"},
    {0x10E, "baler", 12,
     "u4 time_of_last_power_on; u4 total_number_of_power_on_cycles; "
     "u2 baler_status_and_timeouts; u2 baler_onoff_minutes"},
    {0x10F, "dynip", 16,
     "ip serial_1_ip_address; ip serial_2_ip_address; u4 reserved; ip ethernet_ip_address"},
    {0x112, "msg", 84, "ip senders_ip_address; s80 msg"},
    {0x00, "dtdata", 4, "u4 data_record_sequence"},
    {0x06, "dtfill", 4, "u4 data_record_sequence"},
    {0x0A, "dack", 20,
     "u2 new_throttle_value; u2 spare1; u4 ack_bitmap_0to31; u4 ack_bitmap_32to63; "
     "u4 ack_bitmap_64to95; u4 ack_bitmap_96to127"},
    {0x121, "dblk1", 4, "u1 channel; u1 par1; u1 par2; u1 par3"},
    {0x122, "dblk2", 4, "u1 channel; u1 par1; u2 par2"},
    {0x123, "dblk3", 8, "u1 channel; u1 par1; u2 par2; u2 par3; u2 par4"},
    {0x124, "dblk4", 8, "u1 channel; u1 par1; u2 par2; u4 par3"},
    {0x125, "dblk5", 12, "u1 channel; u1 par1; u2 par2; u4 par3; u4 par4"},
    {0x128, "dblk8", 10,
     "u1 channel; u1 spare1; u2 waveform; u2 amplitude; u2 duration; u2 calibration_bitmap"},
    {0x129, "dblk9", 8,
     "u1 channel; u1 spare1; u2 calibration_bitmap; u2 monitor_bitmap; u2 spare2"},
};

struct Field {
  std::string type;  // u1 u2 u4 ip f4 s
  int width = 0;     // counted strings
  int count = 1;
  bool array = false;
  std::string name;
};

std::vector<Field> parse_fields(const std::string &list) {
  std::vector<Field> out;
  std::stringstream ss(list);
  std::string item;
  while (std::getline(ss, item, ';')) {
    std::stringstream is(item);
    std::string type;
    Field f;
    is >> type >> f.name;
    if (type[0] == 's') {
      f.type = "s";
      f.width = std::atoi(type.c_str() + 1);
    } else {
      f.type = type.substr(0, 2);
      if (type.size() > 2) {
        f.array = true;
        f.count = std::atoi(type.c_str() + 3);  // "*6" or "r8"
      }
    }
    out.push_back(f);
  }
  return out;
}

// Golden bytes and the text values expected for each field, in wire order.
struct Golden {
  std::vector<uint8_t> bytes;
  std::vector<std::vector<std::string>> values;
};

Golden build_golden(const std::vector<Field> &fields, unsigned seed) {
  Golden g;
  unsigned k = seed;
  for (const Field &f : fields) {
    std::vector<std::string> vals;
    for (int i = 0; i < f.count; i++, k++) {
      if (f.type == "u1") {
        uint8_t v = (uint8_t)(k * 29 + 3);
        g.bytes.push_back(v);
        vals.push_back(std::to_string(v));
      } else if (f.type == "u2") {
        uint16_t v = (uint16_t)(0x8000u + k * 771u);
        g.bytes.push_back((uint8_t)(v >> 8));
        g.bytes.push_back((uint8_t)v);
        vals.push_back(std::to_string(v));
      } else if (f.type == "u4" || f.type == "ip") {
        uint32_t v = f.type == "ip" ? (10u << 24) | ((k & 0xFFu) << 16) | (7u << 8) | (k % 250u)
                                    : 0x80000000u + k * 0x01030507u;
        for (int s = 24; s >= 0; s -= 8) g.bytes.push_back((uint8_t)(v >> s));
        if (f.type == "ip")
          vals.push_back(std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 255) + "." +
                         std::to_string((v >> 8) & 255) + "." + std::to_string(v & 255));
        else
          vals.push_back(std::to_string(v));
      } else if (f.type == "f4") {
        float v = (float)k + 0.25f;
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        for (int s = 24; s >= 0; s -= 8) g.bytes.push_back((uint8_t)(bits >> s));
        vals.push_back(std::to_string(v));
      } else {  // counted string with zero filler
        std::string text = "id" + std::to_string(k) + "x";
        g.bytes.push_back((uint8_t)text.size());
        g.bytes.insert(g.bytes.end(), text.begin(), text.end());
        g.bytes.insert(g.bytes.end(), (size_t)(f.width - 1 - (int)text.size()), 0);
        vals.push_back(text);
      }
    }
    g.values.push_back(vals);
  }
  return g;
}

// A zeroed host buffer large enough and aligned for any of the structures.
struct HostBuf {
  std::vector<uint64_t> words = std::vector<uint64_t>(sizeof(Q330DATAPkt) / 8 + 8, 0);
  void *ptr() { return words.data(); }
};

std::string pushed_text(int command, void *qstruc, int puthdr) {
  void *stack = nullptr;
  EXPECT_EQ(q330_pfstuff_qpkt(command, &stack, qstruc, puthdr, 1), 0);
  char *joined = popstr(&stack, 1);
  std::string text = joined ? joined : "";
  free(joined);
  return text;
}

TEST(PktdefsLayout, EveryFieldListRowDecodesEncodesAndPrints) {
  unsigned seed = 1;
  for (const Layout &l : kLayouts) {
    SCOPED_TRACE(l.row);
    std::vector<Field> fields = parse_fields(l.fields);
    Golden g = build_golden(fields, seed);
    seed += 17;
    ASSERT_EQ((int)g.bytes.size(), l.size);
    EXPECT_EQ(q330_pktdef_wire_size(l.command), l.size);
    const Q330Pktdefs *row = q330_pktdef_lookup(l.command);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->name, l.row);
    EXPECT_EQ(row->pktdef_size, (int)fields.size());

    // Decode: the cursor moves by the layout.
    HostBuf host;
    std::vector<uint8_t> wire = g.bytes;
    wire.resize(1024, 0xEE);
    unsigned char *cur = wire.data();
    ASSERT_EQ(q330_unstuff_qpkt(l.command, host.ptr(), l.size, &cur), 0);
    EXPECT_EQ(cur - wire.data(), l.size);

    // Encode back: the same bytes (float rows are never sent).
    bool has_float = std::string(l.fields).find("f4") != std::string::npos;
    if (!has_float) {
      std::vector<uint8_t> out(1024, 0xCC);
      unsigned char *w = out.data();
      ASSERT_EQ(q330_stuff_qpkt(l.command, &w, host.ptr()), 0);
      ASSERT_EQ(w - out.data(), l.size);
      EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + l.size), g.bytes);
    }

    // Text form, read back as a parameter file.
    std::string text = pushed_text(l.command, host.ptr(), 1);
    Pf *pf = nullptr;
    ASSERT_EQ(pfcompile(text.c_str(), &pf), 0) << text;
    Pf *arr = nullptr;
    ASSERT_EQ(pfget(pf, l.row, (void **)&arr), PFARR) << text;
    for (size_t i = 0; i < fields.size(); i++) {
      const Field &f = fields[i];
      SCOPED_TRACE(f.name);
      std::vector<std::string> got;
      if (f.array) {
        Tbl *t = pfget_tbl(arr, f.name.c_str());
        ASSERT_NE(t, nullptr);
        for (long j = 0; j < maxtbl(t); j++) got.push_back((char *)gettbl(t, j));
        freetbl(t, nullptr);
      } else {
        char *s = pfget_string(arr, f.name.c_str());
        ASSERT_NE(s, nullptr);
        got.push_back(s);
      }
      ASSERT_EQ(got.size(), g.values[i].size());
      for (size_t j = 0; j < got.size(); j++) {
        if (f.type == "f4")
          EXPECT_DOUBLE_EQ(std::strtod(got[j].c_str(), nullptr),
                           std::strtod(g.values[i][j].c_str(), nullptr));
        else
          EXPECT_EQ(got[j], g.values[i][j]);
      }
    }
    pffree(pf);
  }
}

TEST(PktdefsLayout, FixReversedArraysLandBackwardsAndPrintInWireOrder) {
  std::vector<uint8_t> wire(188, 0);
  for (int i = 0; i < 8; i++) wire[116 + i] = (uint8_t)(i + 1);
  for (int i = 0; i < 8; i++) wire[124 + 4 * i + 3] = (uint8_t)(0x10 + i);
  Q330FIXPkt fix{};
  unsigned char *cur = wire.data();
  ASSERT_EQ(q330_unstuff_qpkt(0xA7, &fix, 188, &cur), 0);
  EXPECT_EQ(fix.bit_frequency[7], 1);
  EXPECT_EQ(fix.bit_frequency[0], 8);
  EXPECT_EQ(fix.chans_1to3_bit_frequency_delay[7], 0x10u);
  EXPECT_EQ(fix.chans_1to3_bit_frequency_delay[0], 0x17u);
  EXPECT_NE(pushed_text(0xA7, &fix, 0).find("bit_frequency &Tbl{\n1\n2\n3\n4\n5\n6\n7\n8\n}\n"),
            std::string::npos);
}

TEST(PktdefsLayout, HostMembersTakeTheirFields) {
  // LOG: spot members against hand-placed bytes.
  std::vector<uint8_t> wire(52, 0);
  wire[16] = 0x00, wire[17] = 0x40;                                    // window_size 64
  wire[20] = 0x01, wire[21] = 0x02;                                    // channel_freqs[0]
  wire[30] = 0x0A, wire[31] = 0x0B;                                    // channel_freqs[5]
  wire[36] = 0x12, wire[37] = 0x34, wire[38] = 0x56, wire[39] = 0x78;  // old_data_threshold
  Q330LOGPkt log{};
  unsigned char *cur = wire.data();
  ASSERT_EQ(q330_unstuff_qpkt(0xA5, &log, 52, &cur), 0);
  EXPECT_EQ(log.window_size, 64);
  EXPECT_EQ(log.channel_freqs[0], 0x0102);
  EXPECT_EQ(log.channel_freqs[5], 0x0A0B);
  EXPECT_EQ(log.old_data_threshold_time, 0x12345678u);

  // DACK: the acknowledgement base is not in the payload.
  Q330DACKPkt dack{};
  dack.qdp_ack = 0x7777;
  dack.new_throttle_value = 0x0102;
  dack.ack_bitmap_96to127 = 0x80000001u;
  std::vector<uint8_t> out(20, 0xCC);
  unsigned char *w = out.data();
  ASSERT_EQ(q330_stuff_qpkt(0x0A, &w, &dack), 0);
  EXPECT_EQ(out,
            (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 1}));
}

TEST(PktdefsLayout, ShortPayloadDecodesWhatIsThereAndZeroesTheRest) {
  ElogCapture capture;
  Q330SRVCHPkt ch;
  std::memset(&ch, 0xAB, sizeof ch);
  std::vector<uint8_t> wire = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xFF, 0xFF, 0xFF, 0xFF};
  unsigned char *cur = wire.data();
  ASSERT_EQ(q330_unstuff_qpkt(0xA1, &ch, 6, &cur), 0);
  EXPECT_EQ(cur - wire.data(), 6);
  EXPECT_EQ(ch.challenge_value_high, 0x11223344u);
  EXPECT_EQ(ch.challenge_value_low, 0x55660000u);
  EXPECT_EQ(ch.server_ip_address, 0u);
  EXPECT_EQ(ch.registration_number, 0u);
  EXPECT_TRUE(capture.contains("C1_SRVCH payload of 6 bytes"));
  // Told once per command code.
  capture.clear();
  cur = wire.data();
  ASSERT_EQ(q330_unstuff_qpkt(0xA1, &ch, 2, &cur), 0);
  EXPECT_FALSE(capture.contains("shorter"));
}

TEST(PktdefsLayout, CountedStrings) {
  // A length byte beyond the field yields width-1 characters, the cursor moves the width.
  std::vector<uint8_t> wire(84, 'A');
  wire[0] = wire[1] = wire[2] = wire[3] = 0;
  wire[4] = 200;
  Q330UMSGPkt msg{};
  unsigned char *cur = wire.data();
  ASSERT_EQ(q330_unstuff_qpkt(0x30, &msg, 84, &cur), 0);
  EXPECT_EQ(cur - wire.data(), 84);
  EXPECT_EQ(std::string(msg.msg), std::string(79, 'A'));

  // Encoding three characters into pstr(80): length 3, the text, zero filler, 80 bytes on.
  std::vector<uint8_t> out(100, 0xCC);
  unsigned char *w = out.data();
  ASSERT_EQ(stuff_pstr(&w, "abc", 80), 0);
  EXPECT_EQ(w - out.data(), 80);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(std::string(out.begin() + 1, out.begin() + 4), "abc");
  for (int i = 4; i < 80; i++) ASSERT_EQ(out[i], 0) << i;
  EXPECT_EQ(out[80], 0xCC);

  // A text longer than the field is cut at width-1.
  std::string long_text(100, 'z');
  w = out.data();
  stuff_pstr(&w, long_text.c_str(), 10);
  EXPECT_EQ(out[0], 9);
  char back[10];
  unsigned char *r = out.data();
  unstuff_pstr(back, 10, &r);
  EXPECT_EQ(std::string(back), std::string(9, 'z'));
}

}  // namespace
