// q330_pktdefs_tables.cpp - the constant tables of the QDP codec: one field list per
// payload layout, the command table, the protocol names with C1_CERR's messages, and the
// token definitions. Wire fields follow each other with no gaps, in list order; the offset
// of a field is its place in the host structure (q330_pktdefs.h).
#include <cstddef>

#include "q330_pktdefs.h"

namespace {

// Field-list entries. R points a reversed array at its last element, where the first
// wire element goes.
#define F(S, name, type) \
  { #name, type, 1, (int)offsetof(S, name) }
#define A(S, name, type, n) \
  { #name, type, n, (int)offsetof(S, name) }
#define R(S, name, type, n) \
  { #name, type, -(n), (int)(offsetof(S, name) + ((n)-1) * sizeof(((S *)nullptr)->name[0])) }
#define PSTR(S, name, width) \
  { #name, PKTDEF_PSTR, width, (int)offsetof(S, name) }
#define U1 PKTDEF_UINT8
#define U2 PKTDEF_UINT16
#define U4 PKTDEF_UINT32
#define FL PKTDEF_FLOAT
#define IP PKTDEF_IPADDR
#define N(list) list, (int)(sizeof(list) / sizeof(list[0]))

// Host records of the data-blockette rows. The blockette decoders read these layouts
// directly; the codec only lists them.
struct DataBlk1Fields {
  uint8_t channel, par1, par2, par3;
};
struct DataBlk2Fields {
  uint8_t channel, par1;
  uint16_t par2;
};
struct DataBlk3Fields {
  uint8_t channel, par1;
  uint16_t par2, par3, par4;
};
struct DataBlk4Fields {
  uint8_t channel, par1;
  uint16_t par2;
  uint32_t par3;
};
struct DataBlk5Fields {
  uint8_t channel, par1;
  uint16_t par2;
  uint32_t par3, par4;
};
struct DataBlk8Fields {
  uint8_t channel, spare1;
  uint16_t waveform, amplitude, duration, calibration_bitmap;
};
struct DataBlk9Fields {
  uint8_t channel, spare1;
  uint16_t calibration_bitmap, monitor_bitmap, spare2;
};

const Pktdef CERR_Pktdef[] = {F(Q330CERRPkt, error_code, U2)};
const Pktdef RQSRV_Pktdef[] = {F(Q330RQSRVPkt, serial_number_high, U4),
                               F(Q330RQSRVPkt, serial_number_low, U4)};
const Pktdef DSRV_Pktdef[] = {F(Q330DSRVPkt, serial_number_high, U4),
                              F(Q330DSRVPkt, serial_number_low, U4)};
const Pktdef SAUTH_Pktdef[] = {F(Q330SAUTHPkt, serial_number_high, U4),
                               F(Q330SAUTHPkt, serial_number_low, U4),
                               F(Q330SAUTHPkt, data_port_1_authorization_code_high, U4),
                               F(Q330SAUTHPkt, data_port_1_authorization_code_low, U4),
                               F(Q330SAUTHPkt, data_port_2_authorization_code_high, U4),
                               F(Q330SAUTHPkt, data_port_2_authorization_code_low, U4),
                               F(Q330SAUTHPkt, data_port_3_authorization_code_high, U4),
                               F(Q330SAUTHPkt, data_port_3_authorization_code_low, U4),
                               F(Q330SAUTHPkt, data_port_4_authorization_code_high, U4),
                               F(Q330SAUTHPkt, data_port_4_authorization_code_low, U4),
                               F(Q330SAUTHPkt, configuration_port_authorization_code_high, U4),
                               F(Q330SAUTHPkt, configuration_port_authorization_code_low, U4),
                               F(Q330SAUTHPkt, special_functions_port_authorization_code_high, U4),
                               F(Q330SAUTHPkt, special_functions_port_authorization_code_low, U4)};
const Pktdef POLLSN_Pktdef[] = {F(Q330POLLSNPkt, serial_number_mask, U2),
                                F(Q330POLLSNPkt, serial_number_match, U2)};
const Pktdef RQLOG_Pktdef[] = {F(Q330RQLOGPkt, logical_port_number, U2)};
const Pktdef RQFLGS_Pktdef[] = {F(Q330RQFLGSPkt, logical_port_number, U2)};
const Pktdef RQSTAT_Pktdef[] = {F(Q330RQSTATPkt, request_bitmap, U4)};
const Pktdef RQMEM_Pktdef[] = {
    F(Q330RQMEMPkt, starting_address, U4), F(Q330RQMEMPkt, byte_count, U2),
    F(Q330RQMEMPkt, memory_type, U2),      F(Q330RQMEMPkt, password_high, U4),
    F(Q330RQMEMPkt, password_midhigh, U4), F(Q330RQMEMPkt, password_midlow, U4),
    F(Q330RQMEMPkt, password_low, U4)};
const Pktdef UMSG_Pktdef[] = {F(Q330UMSGPkt, dummy, U4), PSTR(Q330UMSGPkt, msg, 80)};
const Pktdef RQPHY2_Pktdef[] = {F(Q330RQPHY2Pkt, physical_interface_number, U2)};
const Pktdef C2SBPWR_Pktdef[] = {F(Q330C2SBPWRPkt, physical_interface, U2),
                                 F(Q330C2SBPWRPkt, flag_and_timeout, U2)};
const Pktdef LOG_Pktdef[] = {F(Q330LOGPkt, logical_port_number, U2),
                             F(Q330LOGPkt, flags, U2),
                             F(Q330LOGPkt, percent_of_packet_buffer, U2),
                             F(Q330LOGPkt, mtu, U2),
                             F(Q330LOGPkt, group_count, U2),
                             F(Q330LOGPkt, maximum_resend_timeout, U2),
                             F(Q330LOGPkt, group_timeout, U2),
                             F(Q330LOGPkt, minimum_resend_timeout, U2),
                             F(Q330LOGPkt, window_size, U2),
                             F(Q330LOGPkt, data_sequence_number, U2),
                             A(Q330LOGPkt, channel_freqs, U2, 6),
                             F(Q330LOGPkt, acknowledge_count, U2),
                             F(Q330LOGPkt, acknowledge_timeout, U2),
                             F(Q330LOGPkt, old_data_threshold_time, U4),
                             F(Q330LOGPkt, ethernet_throttle, U2),
                             F(Q330LOGPkt, alarm_percent, U2),
                             F(Q330LOGPkt, automatic_filters, U2),
                             F(Q330LOGPkt, manual_filters, U2),
                             F(Q330LOGPkt, spare1, U4)};
const Pktdef CTRL_Pktdef[] = {F(Q330CTRLPkt, flags, U2)};
const Pktdef SRVCH_Pktdef[] = {
    F(Q330SRVCHPkt, challenge_value_high, U4), F(Q330SRVCHPkt, challenge_value_low, U4),
    F(Q330SRVCHPkt, server_ip_address, IP), F(Q330SRVCHPkt, server_udp_port, U2),
    F(Q330SRVCHPkt, registration_number, U2)};
const Pktdef MYSN_Pktdef[] = {F(Q330MYSNPkt, serial_number_high, U4),
                              F(Q330MYSNPkt, serial_number_low, U4),
                              F(Q330MYSNPkt, kmi_property_tag, U4), F(Q330MYSNPkt, user_tag, U4)};
const Pktdef C1PHY_Pktdef[] = {F(Q330C1PHYPkt, serial_number_high, U4),
                               F(Q330C1PHYPkt, serial_number_low, U4),
                               F(Q330C1PHYPkt, serial_interface_1_ip_address, IP),
                               F(Q330C1PHYPkt, serial_interface_2_ip_address, IP),
                               F(Q330C1PHYPkt, serial_interface_3_ip_address, IP),
                               F(Q330C1PHYPkt, ethernet_ip_address, IP),
                               F(Q330C1PHYPkt, ethernet_mac_address_high, U4),
                               F(Q330C1PHYPkt, ethernet_mac_address_low, U2),
                               F(Q330C1PHYPkt, base_port, U2),
                               F(Q330C1PHYPkt, serial_interface_1_baud, U2),
                               F(Q330C1PHYPkt, serial_interface_1_flags, U2),
                               F(Q330C1PHYPkt, serial_interface_2_baud, U2),
                               F(Q330C1PHYPkt, serial_interface_2_flags, U2),
                               F(Q330C1PHYPkt, serial_interface_3_baud, U2),
                               F(Q330C1PHYPkt, serial_interface_3_flags, U2),
                               F(Q330C1PHYPkt, reserved1, U2),
                               F(Q330C1PHYPkt, ethernet_flags, U2),
                               F(Q330C1PHYPkt, serial_interface_1_throttle, U2),
                               F(Q330C1PHYPkt, serial_interface_2_throttle, U2),
                               F(Q330C1PHYPkt, serial_interface_3_throttle, U2),
                               F(Q330C1PHYPkt, reserved2, U2)};
const Pktdef SRVRSP_Pktdef[] = {
    F(Q330SRVRSPPkt, serial_number_high, U4),      F(Q330SRVRSPPkt, serial_number_low, U4),
    F(Q330SRVRSPPkt, challenge_value_high, U4),    F(Q330SRVRSPPkt, challenge_value_low, U4),
    F(Q330SRVRSPPkt, server_ip_address, IP),       F(Q330SRVRSPPkt, server_udp_port, U2),
    F(Q330SRVRSPPkt, registration_number, U2),     F(Q330SRVRSPPkt, server_random_value_high, U4),
    F(Q330SRVRSPPkt, server_random_value_low, U4), A(Q330SRVRSPPkt, md5_digest, U1, 16)};
const Pktdef FIX_Pktdef[] = {F(Q330FIXPkt, time_of_last_reboot, U4),
                             F(Q330FIXPkt, total_number_of_reboots, U4),
                             F(Q330FIXPkt, backup_data_structure_bitmap, U4),
                             F(Q330FIXPkt, default_data_structure_bitmap, U4),
                             F(Q330FIXPkt, calibrator_type, U2),
                             F(Q330FIXPkt, calibrator_version, U2),
                             F(Q330FIXPkt, aux_type, U2),
                             F(Q330FIXPkt, aux_version, U2),
                             F(Q330FIXPkt, clock_type, U2),
                             F(Q330FIXPkt, flags, U2),
                             F(Q330FIXPkt, system_version, U2),
                             F(Q330FIXPkt, slave_processor_version, U2),
                             F(Q330FIXPkt, pld_version, U2),
                             F(Q330FIXPkt, memory_block_size, U2),
                             F(Q330FIXPkt, kmi_property_tag, U4),
                             F(Q330FIXPkt, system_serial_number_high, U4),
                             F(Q330FIXPkt, system_serial_number_low, U4),
                             F(Q330FIXPkt, analog_motherboard_serial_number_high, U4),
                             F(Q330FIXPkt, analog_motherboard_serial_number_low, U4),
                             F(Q330FIXPkt, seismometer_1_serial_number_high, U4),
                             F(Q330FIXPkt, seismometer_1_serial_number_low, U4),
                             F(Q330FIXPkt, seismometer_2_serial_number_high, U4),
                             F(Q330FIXPkt, seismometer_2_serial_number_low, U4),
                             F(Q330FIXPkt, qapchp_1_serial_number, U4),
                             F(Q330FIXPkt, internal_data_memory_size, U4),
                             F(Q330FIXPkt, internal_data_memory_used, U4),
                             F(Q330FIXPkt, external_data_memory_size, U4),
                             F(Q330FIXPkt, flash_memory_size, U4),
                             F(Q330FIXPkt, external_data_memory_used, U4),
                             F(Q330FIXPkt, qapchp_2_serial_number, U4),
                             A(Q330FIXPkt, logical_port_packet_memory_size, U4, 4),
                             R(Q330FIXPkt, bit_frequency, U1, 8),
                             R(Q330FIXPkt, chans_1to3_bit_frequency_delay, U4, 8),
                             R(Q330FIXPkt, chans_4to6_bit_frequency_delay, U4, 8)};
const Pktdef SC_Pktdef[] = {
    F(Q330SCPkt, sensor_output_1_definition, U4), F(Q330SCPkt, sensor_output_2_definition, U4),
    F(Q330SCPkt, sensor_output_3_definition, U4), F(Q330SCPkt, sensor_output_4_definition, U4),
    F(Q330SCPkt, sensor_output_5_definition, U4), F(Q330SCPkt, sensor_output_6_definition, U4),
    F(Q330SCPkt, sensor_output_7_definition, U4), F(Q330SCPkt, sensor_output_8_definition, U4)};
const Pktdef PULSE_Pktdef[] = {F(Q330PULSEPkt, sensor_control_bitmap, U2),
                               F(Q330PULSEPkt, duration, U2)};
const Pktdef QCAL_Pktdef[] = {F(Q330QCALPkt, starting_time, U4),
                              F(Q330QCALPkt, waveform, U2),
                              F(Q330QCALPkt, amplitude, U2),
                              F(Q330QCALPkt, duration, U2),
                              F(Q330QCALPkt, settling_time, U2),
                              F(Q330QCALPkt, calibration_bitmap, U2),
                              F(Q330QCALPkt, trailer_time, U2),
                              F(Q330QCALPkt, sensor_control_bitmap, U2),
                              F(Q330QCALPkt, monitor_channel_bitmap, U2),
                              F(Q330QCALPkt, frequency_divider, U2),
                              F(Q330QCALPkt, spare1, U2),
                              A(Q330QCALPkt, coupling, U1, 12)};
const Pktdef MAN_Pktdef[] = {
    F(Q330MANPkt, password_high, U4),
    F(Q330MANPkt, password_highm1, U4),
    F(Q330MANPkt, password_lowp1, U4),
    F(Q330MANPkt, password_low, U4),
    F(Q330MANPkt, qapchp_1to3_type, U2),
    F(Q330MANPkt, qapchp_1to3_version, U2),
    F(Q330MANPkt, qapchp_4to6_type, U2),
    F(Q330MANPkt, qapchp_4to6_version, U2),
    F(Q330MANPkt, qapchp_1to3_serial_number, U4),
    F(Q330MANPkt, qapchp_4to6_serial_number, U4),
    A(Q330MANPkt, qapchp_channel_expected_counts_with_reference_applied, U4, 6),
    F(Q330MANPkt, born_on_time, U4),
    F(Q330MANPkt, packet_memory_installed, U4),
    F(Q330MANPkt, clock_type, U2),
    F(Q330MANPkt, model_number, U2),
    F(Q330MANPkt, default_calibrator_offset, U2),
    F(Q330MANPkt, flags, U2),
    F(Q330MANPkt, kmi_property_tag, U4),
    F(Q330MANPkt, maximum_power_on_seconds, U4)};
const Pktdef SPP_Pktdef[] = {
    F(Q330SPPPkt, maximum_main_current, U2),   F(Q330SPPPkt, minimum_off_time, U2),
    F(Q330SPPPkt, minimum_ps_voltage, U2),     F(Q330SPPPkt, maximum_antenna_current, U2),
    F(Q330SPPPkt, minimum_temperature, U2),    F(Q330SPPPkt, maximum_temperature, U2),
    F(Q330SPPPkt, temperature_hysteresis, U2), F(Q330SPPPkt, voltage_hysteresis, U2),
    F(Q330SPPPkt, default_vco_value, U2),      F(Q330SPPPkt, spare1, U2)};
const Pktdef PWR_Pktdef[] = {F(Q330PWRPkt, q330_power_on, U1),
                             F(Q330PWRPkt, q330_power_off, U1),
                             F(Q330PWRPkt, ldsb_power_on, U1),
                             F(Q330PWRPkt, ldsb_power_off, U1),
                             F(Q330PWRPkt, aux1_power_on, U1),
                             F(Q330PWRPkt, aux1_power_off, U1),
                             F(Q330PWRPkt, aux2_power_on, U1),
                             F(Q330PWRPkt, aux2_power_off, U1),
                             F(Q330PWRPkt, aux3_power_on, U1),
                             F(Q330PWRPkt, aux3_power_off, U1),
                             F(Q330PWRPkt, aux4_power_on, U1),
                             F(Q330PWRPkt, aux4_power_off, U1),
                             F(Q330PWRPkt, aux5_power_on, U1),
                             F(Q330PWRPkt, aux5_power_off, U1),
                             F(Q330PWRPkt, aux6_power_on, U1),
                             F(Q330PWRPkt, aux6_power_off, U1),
                             F(Q330PWRPkt, capacity_charge_threshold, U4),
                             F(Q330PWRPkt, minimum_bat_temp, U1),
                             F(Q330PWRPkt, maximum_bat_temp, U1),
                             F(Q330PWRPkt, spare1, U2)};
const Pktdef GID_Pktdef[] = {PSTR(Q330GIDPkt, id_1_string, 32), PSTR(Q330GIDPkt, id_2_string, 32),
                             PSTR(Q330GIDPkt, id_3_string, 32), PSTR(Q330GIDPkt, id_4_string, 32),
                             PSTR(Q330GIDPkt, id_5_string, 32), PSTR(Q330GIDPkt, id_6_string, 32),
                             PSTR(Q330GIDPkt, id_7_string, 32), PSTR(Q330GIDPkt, id_8_string, 32),
                             PSTR(Q330GIDPkt, id_9_string, 32)};
const Pktdef DCP_Pktdef[] = {A(Q330DCPPkt, channel_counts_with_grounded_input, U4, 6),
                             A(Q330DCPPkt, channel_counts_with_reference_input, U4, 6)};
const Pktdef DEV_Pktdef[] = {F(Q330DEVPkt, port_number, U2),
                             F(Q330DEVPkt, unit_id, U2),
                             F(Q330DEVPkt, version, U2),
                             F(Q330DEVPkt, options, U2),
                             F(Q330DEVPkt, serial_number_high, U4),
                             F(Q330DEVPkt, serial_number_low, U4),
                             F(Q330DEVPkt, device_static_storage, U2),
                             F(Q330DEVPkt, seconds_since_heard, U2)};
const Pktdef C2PHY_Pktdef[] = {F(Q330C2PHYPkt, physical_interface_number, U2),
                               F(Q330C2PHYPkt, data_port_number, U2),
                               PSTR(Q330C2PHYPkt, modem_initialization, 40),
                               PSTR(Q330C2PHYPkt, phone_number, 40),
                               PSTR(Q330C2PHYPkt, user_name, 32),
                               PSTR(Q330C2PHYPkt, password, 32),
                               F(Q330C2PHYPkt, memory_trigger_level, U4),
                               F(Q330C2PHYPkt, flags, U2),
                               F(Q330C2PHYPkt, power_off_time, U2),
                               F(Q330C2PHYPkt, interval, U2),
                               F(Q330C2PHYPkt, web_server_bps_limit, U2),
                               F(Q330C2PHYPkt, baler_ip_address, IP),
                               F(Q330C2PHYPkt, baler_secondary_ip_address, IP),
                               F(Q330C2PHYPkt, point_of_contact_port_number, U2),
                               F(Q330C2PHYPkt, baler_retries, U2),
                               F(Q330C2PHYPkt, baler_registration_timeout, U2),
                               F(Q330C2PHYPkt, serial_baud_rate, U2),
                               F(Q330C2PHYPkt, spare1, U4)};
const Pktdef C2GPS_Pktdef[] = {F(Q330C2GPSPkt, timing_mode, U2),
                               F(Q330C2GPSPkt, power_cycling_mode, U2),
                               F(Q330C2GPSPkt, gps_off_time, U2),
                               F(Q330C2GPSPkt, gps_resync_hour, U2),
                               F(Q330C2GPSPkt, gps_maximum_on_time, U2),
                               F(Q330C2GPSPkt, pll_lock_usecs, U2),
                               F(Q330C2GPSPkt, spare1, U4),
                               F(Q330C2GPSPkt, pll_update_interval, U2),
                               F(Q330C2GPSPkt, pll_flags, U2),
                               F(Q330C2GPSPkt, pfrac, FL),
                               F(Q330C2GPSPkt, vco_slope, FL),
                               F(Q330C2GPSPkt, vco_intercept, FL),
                               F(Q330C2GPSPkt, max_initial_km_rms, FL),
                               F(Q330C2GPSPkt, initial_km_weight, FL),
                               F(Q330C2GPSPkt, best_vco_weight, FL),
                               F(Q330C2GPSPkt, km_delta, FL),
                               F(Q330C2GPSPkt, spare2, U4),
                               F(Q330C2GPSPkt, spare3, U4)};
const Pktdef C2WIN_Pktdef[] = {F(Q330C2WINPkt, recording_flags, U2),
                               F(Q330C2WINPkt, number_of_windows, U2)};
const Pktdef C2AMASS_Pktdef[] = {
    F(Q330C2AMASSPkt, tolerance_a_1, U2),           F(Q330C2AMASSPkt, tolerance_b_1, U2),
    F(Q330C2AMASSPkt, tolerance_c_1, U2),           F(Q330C2AMASSPkt, maximum_tries_1, U2),
    F(Q330C2AMASSPkt, normal_interval_1, U2),       F(Q330C2AMASSPkt, squeltch_interval_1, U2),
    F(Q330C2AMASSPkt, sensor_control_bitmap_1, U2), F(Q330C2AMASSPkt, duration_1, U2),
    F(Q330C2AMASSPkt, tolerance_a_2, U2),           F(Q330C2AMASSPkt, tolerance_b_2, U2),
    F(Q330C2AMASSPkt, tolerance_c_2, U2),           F(Q330C2AMASSPkt, maximum_tries_2, U2),
    F(Q330C2AMASSPkt, normal_interval_2, U2),       F(Q330C2AMASSPkt, squeltch_interval_2, U2),
    F(Q330C2AMASSPkt, sensor_control_bitmap_2, U2), F(Q330C2AMASSPkt, duration_2, U2)};
const Pktdef C2POC_Pktdef[] = {F(Q330C2POCPkt, q330_serial_number_high, U4),
                               F(Q330C2POCPkt, q330_serial_number_low, U4),
                               F(Q330C2POCPkt, q330_ip_address, IP),
                               F(Q330C2POCPkt, poc_ip_address, IP),
                               F(Q330C2POCPkt, netmask, U4),
                               F(Q330C2POCPkt, q330_base_port_number, U2),
                               F(Q330C2POCPkt, data_port_number, U2),
                               F(Q330C2POCPkt, web_server_bps_limit, U2),
                               F(Q330C2POCPkt, flags, U2),
                               F(Q330C2POCPkt, access_timeout, U2),
                               F(Q330C2POCPkt, serial_baud_rate, U2),
                               F(Q330C2POCPkt, baler_serial_number_high, U4),
                               F(Q330C2POCPkt, baler_serial_number_low, U4)};
const Pktdef FLGS_Pktdef[] = {F(Q330FLGSPkt, offset_to_glob, U2), F(Q330FLGSPkt, offset_to_sc, U2),
                              F(Q330FLGSPkt, offset_to_log, U2), F(Q330FLGSPkt, spare1, U2)};
const Pktdef STAT_Pktdef[] = {F(Q330STATPkt, status_bitmap, U4)};
const Pktdef GLOBSTAT_Pktdef[] = {F(Q330GLOBSTATPkt, acquisition_control, U2),
                                  F(Q330GLOBSTATPkt, clock_quality, U2),
                                  F(Q330GLOBSTATPkt, minutes_since_loss, U2),
                                  F(Q330GLOBSTATPkt, analog_voltage_control_value, U2),
                                  F(Q330GLOBSTATPkt, seconds_offset, U4),
                                  F(Q330GLOBSTATPkt, usec_offset, U4),
                                  F(Q330GLOBSTATPkt, total_time, U4),
                                  F(Q330GLOBSTATPkt, power_on_time, U4),
                                  F(Q330GLOBSTATPkt, time_of_last_resync, U4),
                                  F(Q330GLOBSTATPkt, total_number_of_resyncs, U4),
                                  F(Q330GLOBSTATPkt, gps_status, U2),
                                  F(Q330GLOBSTATPkt, calibrator_status, U2),
                                  F(Q330GLOBSTATPkt, sensor_control_bitmap, U2),
                                  F(Q330GLOBSTATPkt, current_vco, U2),
                                  F(Q330GLOBSTATPkt, data_sequence_number, U2),
                                  F(Q330GLOBSTATPkt, pll_running_if_set, U2),
                                  F(Q330GLOBSTATPkt, status_inputs, U2),
                                  F(Q330GLOBSTATPkt, misc_inputs, U2),
                                  F(Q330GLOBSTATPkt, current_data_sequence_number, U4)};
const Pktdef PWRSTAT_Pktdef[] = {
    F(Q330PWRSTATPkt, charging_phase, U2),   F(Q330PWRSTATPkt, battery_temperature, U2),
    F(Q330PWRSTATPkt, battery_capacity, U2), F(Q330PWRSTATPkt, depth_of_discharge, U2),
    F(Q330PWRSTATPkt, battery_voltage, U2),  F(Q330PWRSTATPkt, input_voltage, U2),
    F(Q330PWRSTATPkt, battery_current, U2),  F(Q330PWRSTATPkt, absorption_setpoint, U2),
    F(Q330PWRSTATPkt, float_setpoint, U2),   F(Q330PWRSTATPkt, spare1, U2)};
const Pktdef BOOMSTAT_Pktdef[] = {A(Q330BOOMSTATPkt, channel_boom, U2, 6),
                                  F(Q330BOOMSTATPkt, analog_positive_supply, U2),
                                  F(Q330BOOMSTATPkt, analog_negative_supply, U2),
                                  F(Q330BOOMSTATPkt, input_power, U2),
                                  F(Q330BOOMSTATPkt, system_temperature, U2),
                                  F(Q330BOOMSTATPkt, main_current, U2),
                                  F(Q330BOOMSTATPkt, gps_antenna_current, U2),
                                  F(Q330BOOMSTATPkt, seismometer_1_temperature, U2),
                                  F(Q330BOOMSTATPkt, seismometer_2_temperature, U2),
                                  F(Q330BOOMSTATPkt, slave_processor_timeouts, U4)};
const Pktdef PLLSTAT_Pktdef[] = {
    F(Q330PLLSTATPkt, initial_vco, FL), F(Q330PLLSTATPkt, time_error, FL),
    F(Q330PLLSTATPkt, rms_vco, FL),     F(Q330PLLSTATPkt, best_vco, FL),
    F(Q330PLLSTATPkt, spare1, U4),      F(Q330PLLSTATPkt, ticks_since_last_update, U4),
    F(Q330PLLSTATPkt, km, U2),          F(Q330PLLSTATPkt, state, U2)};
const Pktdef LOGSTAT_Pktdef[] = {F(Q330LOGSTATPkt, total_data_packets_sent, U4),
                                 F(Q330LOGSTATPkt, total_packets_resent, U4),
                                 F(Q330LOGSTATPkt, total_fill_packets_sent, U4),
                                 F(Q330LOGSTATPkt, receive_sequence_errors, U4),
                                 F(Q330LOGSTATPkt, bytes_of_packet_currently_used, U4),
                                 F(Q330LOGSTATPkt, time_of_last_data_packet_acked, U4),
                                 F(Q330LOGSTATPkt, physical_port_number, U2),
                                 F(Q330LOGSTATPkt, logical_port_number, U2),
                                 F(Q330LOGSTATPkt, retransmission_timeout, U2),
                                 F(Q330LOGSTATPkt, flags, U2)};
const Pktdef SERSTAT_Pktdef[] = {
    F(Q330SERSTATPkt, received_checksum_errors, U4),
    F(Q330SERSTATPkt, total_io_errors, U4),
    F(Q330SERSTATPkt, physical_port_number, U2),
    F(Q330SERSTATPkt, spare1, U2),
    F(Q330SERSTATPkt, destination_unreachable_icmp_packets_received, U4),
    F(Q330SERSTATPkt, source_quench_icmp_packets_received, U4),
    F(Q330SERSTATPkt, echo_request_icmp_packets_received, U4),
    F(Q330SERSTATPkt, redirect_icmp_packets_received, U4),
    F(Q330SERSTATPkt, character_overruns, U4),
    F(Q330SERSTATPkt, framing_errors, U4)};
const Pktdef ETHSTAT_Pktdef[] = {
    F(Q330ETHSTATPkt, receive_checksum_errors, U4),
    F(Q330ETHSTATPkt, total_io_errors, U4),
    F(Q330ETHSTATPkt, physical_port_number, U2),
    F(Q330ETHSTATPkt, spare1, U2),
    F(Q330ETHSTATPkt, destination_unreachable_icmp_packets_received, U4),
    F(Q330ETHSTATPkt, source_quench_icmp_packets_received, U4),
    F(Q330ETHSTATPkt, echo_request_icmp_packets_received, U4),
    F(Q330ETHSTATPkt, redirect_icmp_packets_received, U4),
    F(Q330ETHSTATPkt, runt_frames, U4),
    F(Q330ETHSTATPkt, crc_errors, U4),
    F(Q330ETHSTATPkt, broadcast_frames, U4),
    F(Q330ETHSTATPkt, unicast_frames, U4),
    F(Q330ETHSTATPkt, total_good_frames, U4),
    F(Q330ETHSTATPkt, jabber_errors, U4),
    F(Q330ETHSTATPkt, out_of_window, U4),
    F(Q330ETHSTATPkt, transmitted_ok, U4),
    F(Q330ETHSTATPkt, received_packets_missed, U4),
    F(Q330ETHSTATPkt, transmit_collisions, U4),
    F(Q330ETHSTATPkt, current_link_status, U2),
    F(Q330ETHSTATPkt, spare2, U2),
    F(Q330ETHSTATPkt, spare3, U4)};
const Pktdef BALERSTAT_Pktdef[] = {F(Q330BALERSTATPkt, time_of_last_power_on, U4),
                                   F(Q330BALERSTATPkt, total_number_of_power_on_cycles, U4),
                                   F(Q330BALERSTATPkt, baler_status_and_timeouts, U2),
                                   F(Q330BALERSTATPkt, baler_onoff_minutes, U2)};
const Pktdef DYNIPSTAT_Pktdef[] = {
    F(Q330DYNIPSTATPkt, serial_1_ip_address, IP), F(Q330DYNIPSTATPkt, serial_2_ip_address, IP),
    F(Q330DYNIPSTATPkt, reserved, U4), F(Q330DYNIPSTATPkt, ethernet_ip_address, IP)};
const Pktdef MSGSTAT_Pktdef[] = {F(Q330MSGSTATPkt, senders_ip_address, IP),
                                 PSTR(Q330MSGSTATPkt, msg, 80)};
const Pktdef DATA_Pktdef[] = {F(Q330DATAPkt, data_record_sequence, U4)};
const Pktdef FILL_Pktdef[] = {F(Q330FILLPkt, data_record_sequence, U4)};
const Pktdef DACK_Pktdef[] = {
    F(Q330DACKPkt, new_throttle_value, U2), F(Q330DACKPkt, spare1, U2),
    F(Q330DACKPkt, ack_bitmap_0to31, U4),   F(Q330DACKPkt, ack_bitmap_32to63, U4),
    F(Q330DACKPkt, ack_bitmap_64to95, U4),  F(Q330DACKPkt, ack_bitmap_96to127, U4)};
const Pktdef DATABLK1_Pktdef[] = {F(DataBlk1Fields, channel, U1), F(DataBlk1Fields, par1, U1),
                                  F(DataBlk1Fields, par2, U1), F(DataBlk1Fields, par3, U1)};
const Pktdef DATABLK2_Pktdef[] = {F(DataBlk2Fields, channel, U1), F(DataBlk2Fields, par1, U1),
                                  F(DataBlk2Fields, par2, U2)};
const Pktdef DATABLK3_Pktdef[] = {F(DataBlk3Fields, channel, U1), F(DataBlk3Fields, par1, U1),
                                  F(DataBlk3Fields, par2, U2), F(DataBlk3Fields, par3, U2),
                                  F(DataBlk3Fields, par4, U2)};
const Pktdef DATABLK4_Pktdef[] = {F(DataBlk4Fields, channel, U1), F(DataBlk4Fields, par1, U1),
                                  F(DataBlk4Fields, par2, U2), F(DataBlk4Fields, par3, U4)};
const Pktdef DATABLK5_Pktdef[] = {F(DataBlk5Fields, channel, U1), F(DataBlk5Fields, par1, U1),
                                  F(DataBlk5Fields, par2, U2), F(DataBlk5Fields, par3, U4),
                                  F(DataBlk5Fields, par4, U4)};
const Pktdef DATABLK8_Pktdef[] = {
    F(DataBlk8Fields, channel, U1),  F(DataBlk8Fields, spare1, U1),
    F(DataBlk8Fields, waveform, U2), F(DataBlk8Fields, amplitude, U2),
    F(DataBlk8Fields, duration, U2), F(DataBlk8Fields, calibration_bitmap, U2)};
const Pktdef DATABLK9_Pktdef[] = {F(DataBlk9Fields, channel, U1), F(DataBlk9Fields, spare1, U1),
                                  F(DataBlk9Fields, calibration_bitmap, U2),
                                  F(DataBlk9Fields, monitor_bitmap, U2),
                                  F(DataBlk9Fields, spare2, U2)};

// Token field lists: offsets into Qtpb14Tokens (Qtpb14ChannelTokens for id 128), -1 for
// values that are read and dropped.
#define T(S, name, type, n) \
  { #name, type, n, (int)offsetof(S, name) }
#define TDROP(name, type, n) \
  { #name, type, n, -1 }
const Pktdef TOK1_Tokendef[] = {T(Qtpb14Tokens, version, U1, 1)};
const Pktdef TOK2_Tokendef[] = {T(Qtpb14Tokens, net, PKTDEF_CHARS, 2),
                                T(Qtpb14Tokens, sta, PKTDEF_CHARS, 5)};
const Pktdef TOK3_Tokendef[] = {TDROP(port_number, U2, 1)};
const Pktdef TOK4_Tokendef[] = {
    TDROP(password_1, PKTDEF_CHARS, 8),     TDROP(password_2, PKTDEF_CHARS, 8),
    TDROP(password_3, PKTDEF_CHARS, 8),     TDROP(timeout, U4, 1),
    TDROP(maximum_bytes_per_second, U4, 1), TDROP(verbosity, U1, 1),
    TDROP(maximum_cpu_precentage, U1, 1),   TDROP(udp_port_number, U2, 1),
    TDROP(maximum_memory_to_use, U2, 1),    TDROP(reserved, U1, 2)};
const Pktdef TOK5_Tokendef[] = {T(Qtpb14Tokens, web_port, U2, 1)};
const Pktdef TOK6_Tokendef[] = {TDROP(timezone_offset, U4, 1),
                                TDROP(loss_before_downgrading_quality, U2, 1),
                                TDROP(pll_locked_quality, U1, 1),
                                TDROP(pll_tracking_quality, U1, 1),
                                TDROP(pll_hold_quality, U1, 1),
                                TDROP(pll_off_quality, U1, 1),
                                TDROP(spare_quality, U1, 1),
                                TDROP(highest_has_been_locked_quality, U1, 1),
                                TDROP(lowest_has_been_locked_quality, U1, 1),
                                TDROP(never_been_locked_quality, U1, 1),
                                TDROP(clock_quality_filter, U2, 1)};
const Pktdef TOK7_Tokendef[] = {
    T(Qtpb14Tokens, msg_loc, PKTDEF_CHARS, 2), T(Qtpb14Tokens, msg_chan, PKTDEF_CHARS, 3),
    T(Qtpb14Tokens, timing_loc, PKTDEF_CHARS, 2), T(Qtpb14Tokens, timing_chan, PKTDEF_CHARS, 3)};
const Pktdef TOK8_Tokendef[] = {T(Qtpb14Tokens, cfg_loc, PKTDEF_CHARS, 2),
                                T(Qtpb14Tokens, cfg_chan, PKTDEF_CHARS, 3), TDROP(flags, U1, 1),
                                TDROP(interval, U2, 1)};
const Pktdef TOK9_Tokendef[] = {TDROP(port_number, U2, 1)};
const Pktdef TOK128_Tokendef[] = {T(Qtpb14ChannelTokens, qtpb14_loc, PKTDEF_CHARS, 2),
                                  T(Qtpb14ChannelTokens, qtpb14_chan, PKTDEF_CHARS, 3),
                                  T(Qtpb14ChannelTokens, lcqref, U1, 1),
                                  T(Qtpb14ChannelTokens, channel, U1, 1),
                                  T(Qtpb14ChannelTokens, stream, U1, 1),
                                  T(Qtpb14ChannelTokens, options, U4, 1),
                                  T(Qtpb14ChannelTokens, rate, PKTDEF_INT16, 1)};

}  // namespace

const Q330Pktdefs q330_pktdefs[] = {
    {0xA0, "cack", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0xA2, "cerr", 1, N(CERR_Pktdef), nullptr, nullptr, nullptr},
    {0x10, "rqsrv", 1, N(RQSRV_Pktdef), nullptr, nullptr, nullptr},
    {0x12, "dsrv", 1, N(DSRV_Pktdef), nullptr, nullptr, nullptr},
    {0x13, "sauth", 1, N(SAUTH_Pktdef), nullptr, nullptr, nullptr},
    {0x14, "pollsn", 1, N(POLLSN_Pktdef), nullptr, nullptr, nullptr},
    {0x18, "rqlog", 1, N(RQLOG_Pktdef), nullptr, nullptr, nullptr},
    {0x34, "rqflgs", 1, N(RQFLGS_Pktdef), nullptr, nullptr, nullptr},
    {0x1F, "rqstat", 1, N(RQSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x41, "rqmem", 1, N(RQMEM_Pktdef), nullptr, nullptr, nullptr},
    {0x38, "ping", 1, nullptr, 0, q330_encode_PING, q330_decode_PING, q330_pfstuff_PING},
    {0x30, "umsg", 1, N(UMSG_Pktdef), nullptr, nullptr, nullptr},
    {0x1B, "rqglob", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x1C, "rqfix", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x16, "rqphyc1", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x1E, "rqman", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x2D, "rqspp", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x32, "rqpwr", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x28, "rqgid", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x35, "rqdcp", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x36, "rqdev", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x25, "rqrt", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x51, "rqphyc2", 1, N(RQPHY2_Pktdef), nullptr, nullptr, nullptr},
    {0x53, "rqgpsc2", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x55, "rqwinc2", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x58, "rqamassc2", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x70, "rqepd", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x71, "rqepcfg", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0x72, "sepcfg", 1, nullptr, 0, q330_encode_EPCFG, q330_decode_EPCFG, q330_pfstuff_EPCFG},
    {0x59, "sbpwrc2", 1, N(C2SBPWR_Pktdef), nullptr, nullptr, nullptr},
    {0x17, "slog", 1, N(LOG_Pktdef), nullptr, nullptr, nullptr},
    {0x19, "ctrl", 1, N(CTRL_Pktdef), nullptr, nullptr, nullptr},
    {0xA1, "srvch", 1, N(SRVCH_Pktdef), nullptr, nullptr, nullptr},
    {0xA3, "mysn", 1, N(MYSN_Pktdef), nullptr, nullptr, nullptr},
    {0x15, "sphy", 1, N(C1PHY_Pktdef), nullptr, nullptr, nullptr},
    {0x11, "srcrsp", 1, N(SRVRSP_Pktdef), nullptr, nullptr, nullptr},
    {0xA4, "phyc1", 1, N(C1PHY_Pktdef), nullptr, nullptr, nullptr},
    {0xA7, "fix", 1, N(FIX_Pktdef), nullptr, nullptr, nullptr},
    {0xA5, "log", 1, N(LOG_Pktdef), nullptr, nullptr, nullptr},
    {0xAF, "sc", 1, N(SC_Pktdef), nullptr, nullptr, nullptr},
    {0xAA, "rt", 1, nullptr, 0, nullptr, q330_decode_RT, q330_pfstuff_RT},
    {0x22, "pulse", 1, N(PULSE_Pktdef), nullptr, nullptr, nullptr},
    {0x23, "qcal", 1, N(QCAL_Pktdef), nullptr, nullptr, nullptr},
    {0x24, "stop", 1, nullptr, 0, nullptr, nullptr, nullptr},
    {0xA6, "glob", 1, nullptr, 0, nullptr, q330_decode_GLOB, q330_pfstuff_GLOB},
    {0xB1, "flgs", 1, nullptr, 0, nullptr, q330_decode_FLGS, q330_pfstuff_FLGS},
    {0xA8, "man", 1, N(MAN_Pktdef), nullptr, nullptr, nullptr},
    {0xAE, "spp", 1, N(SPP_Pktdef), nullptr, nullptr, nullptr},
    {0xB0, "pwr", 1, N(PWR_Pktdef), nullptr, nullptr, nullptr},
    {0xAC, "gid", 1, N(GID_Pktdef), nullptr, nullptr, nullptr},
    {0xB2, "dcp", 1, N(DCP_Pktdef), nullptr, nullptr, nullptr},
    {0xB3, "dev", 1, N(DEV_Pktdef), nullptr, nullptr, nullptr},
    {0xA9, "stat", 1, nullptr, 0, nullptr, q330_decode_STAT, q330_pfstuff_STAT},
    {0xB8, "mem", 1, nullptr, 0, nullptr, q330_decode_MEM, q330_pfstuff_MEM},
    {0xC0, "phyc2", 1, N(C2PHY_Pktdef), nullptr, nullptr, nullptr},
    {0xC1, "gpsc2", 1, N(C2GPS_Pktdef), nullptr, nullptr, nullptr},
    {0xC2, "winc2", 1, N(C2WIN_Pktdef), nullptr, nullptr, nullptr},
    {0xC4, "amassc2", 1, N(C2AMASS_Pktdef), nullptr, nullptr, nullptr},
    {0xC5, "pocc2", 1, N(C2POC_Pktdef), nullptr, nullptr, nullptr},
    {0xD0, "epd", 1, nullptr, 0, nullptr, q330_decode_EPD, q330_pfstuff_EPD},
    {0xD1, "epcfg", 1, nullptr, 0, nullptr, q330_decode_EPCFG, q330_pfstuff_EPCFG},
    {0x101, "flgs", 1, N(FLGS_Pktdef), nullptr, nullptr, nullptr},
    {0x102, "stat", 1, N(STAT_Pktdef), nullptr, nullptr, nullptr},
    {0x103, "glob", 1, N(GLOBSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x104, "gps", 1, nullptr, 0, nullptr, q330_decode_GPSSTAT, q330_pfstuff_GPSSTAT},
    {0x105, "pwr", 1, N(PWRSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x106, "boom", 1, N(BOOMSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x107, "thread", 1, nullptr, 0, nullptr, q330_decode_THREADSTAT, q330_pfstuff_THREADSTAT},
    {0x108, "pll", 1, N(PLLSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x109, "gpss", 1, nullptr, 0, nullptr, q330_decode_GPSSSTAT, q330_pfstuff_GPSSSTAT},
    {0x10A, "arp", 1, nullptr, 0, nullptr, q330_decode_ARPSTAT, q330_pfstuff_ARPSTAT},
    {0x10B, "log", 1, N(LOGSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x10C, "ser", 1, N(SERSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x10D, "eth", 1, N(ETHSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x10E, "baler", 1, N(BALERSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x10F, "dynip", 1, N(DYNIPSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x110, "aux", 1, nullptr, 0, nullptr, q330_decode_AUXSTAT, q330_pfstuff_AUXSTAT},
    {0x111, "schan", 1, nullptr, 0, nullptr, q330_decode_SCHANSTAT, q330_pfstuff_SCHANSTAT},
    {0x112, "msg", 1, N(MSGSTAT_Pktdef), nullptr, nullptr, nullptr},
    {0x0B, "dtopen", 2, nullptr, 0, nullptr, nullptr, nullptr},
    {0x00, "dtdata", 2, N(DATA_Pktdef), nullptr, nullptr, nullptr},
    {0x06, "dtfill", 2, N(FILL_Pktdef), nullptr, nullptr, nullptr},
    {0x0A, "dack", 2, N(DACK_Pktdef), nullptr, nullptr, nullptr},
    {0x121, "dblk1", 2, N(DATABLK1_Pktdef), nullptr, nullptr, nullptr},
    {0x122, "dblk2", 2, N(DATABLK2_Pktdef), nullptr, nullptr, nullptr},
    {0x123, "dblk3", 2, N(DATABLK3_Pktdef), nullptr, nullptr, nullptr},
    {0x124, "dblk4", 2, N(DATABLK4_Pktdef), nullptr, nullptr, nullptr},
    {0x125, "dblk5", 2, N(DATABLK5_Pktdef), nullptr, nullptr, nullptr},
    {0x128, "dblk8", 2, N(DATABLK8_Pktdef), nullptr, nullptr, nullptr},
    {0x129, "dblk9", 2, N(DATABLK9_Pktdef), nullptr, nullptr, nullptr},
};
const int q330_pktdefs_size = (int)(sizeof(q330_pktdefs) / sizeof(q330_pktdefs[0]));

const Codedef CERR_Codedef[] = {
    {0, "Port in use - No permission - Invalid password"},
    {1, "Cannot add - Too many servers registered"},
    {2, "Not currently registered"},
    {3, "Cannot honor your request - Invalid registration response"},
    {4, "Parameter error"},
    {5, "EEPROM structure not valid"},
    {6, "Invalid command - configuration port only"},
    {7, "Invalid command - special port only"},
    {8, "Cannot execute memory access command - Memory operation in progress"},
    {9, "Cannot execute calibration command - Calibration operation in progress"},
    {10, "Data not available for QuickView"},
    {11, "Invalid command - console port only"},
    {12, "Flash write or erase error"},
};
const int CERR_Codedef_size = (int)(sizeof(CERR_Codedef) / sizeof(CERR_Codedef[0]));

const Q330Codedefs q330_codedefs[] = {
    {0xA0, "C1_CACK", nullptr, 0},    {0xA2, "C1_CERR", CERR_Codedef, CERR_Codedef_size},
    {0x12, "C1_DSRV", nullptr, 0},    {0x13, "C1_SAUTH", nullptr, 0},
    {0x14, "C1_POLLSN", nullptr, 0},  {0x18, "C1_RQLOG", nullptr, 0},
    {0x34, "C1_RQFLGS", nullptr, 0},  {0x1F, "C1_RQSTAT", nullptr, 0},
    {0x41, "C1_RQMEM", nullptr, 0},   {0x38, "C1_PING", nullptr, 0},
    {0x30, "C1_UMSG", nullptr, 0},    {0x1B, "C1_RQGLOB", nullptr, 0},
    {0x1C, "C1_RQFIX", nullptr, 0},   {0x16, "C1_RQPHY", nullptr, 0},
    {0x1E, "C1_RQMAN", nullptr, 0},   {0x2D, "C1_RQSPP", nullptr, 0},
    {0x32, "C1_RQPWR", nullptr, 0},   {0x28, "C1_RQGID", nullptr, 0},
    {0x35, "C1_RQDCP", nullptr, 0},   {0x36, "C1_RQDEV", nullptr, 0},
    {0x25, "C1_RQRT", nullptr, 0},    {0x51, "C2_RQPHY", nullptr, 0},
    {0x53, "C2_RQGPS", nullptr, 0},   {0x55, "C2_RQWIN", nullptr, 0},
    {0x58, "C2_RQAMASS", nullptr, 0}, {0x70, "C2_RQEPD", nullptr, 0},
    {0x71, "C2_RQEPCFG", nullptr, 0}, {0x72, "C2_SEPCFG", nullptr, 0},
    {0x59, "C2_SBPWR", nullptr, 0},   {0x17, "C1_SLOG", nullptr, 0},
    {0x19, "C1_CTRL", nullptr, 0},    {0xA1, "C1_SRVCH", nullptr, 0},
    {0xA3, "C1_MYSN", nullptr, 0},    {0x11, "C1_SRVRSP", nullptr, 0},
    {0xA4, "C1_PHY", nullptr, 0},     {0xA7, "C1_FIX", nullptr, 0},
    {0xA5, "C1_LOG", nullptr, 0},     {0xAF, "C1_SC", nullptr, 0},
    {0xAA, "C1_RT", nullptr, 0},      {0x22, "C1_PULSE", nullptr, 0},
    {0x23, "C1_QCAL", nullptr, 0},    {0x24, "C1_STOP", nullptr, 0},
    {0xA6, "C1_GLOB", nullptr, 0},    {0xB1, "C1_FLGS", nullptr, 0},
    {0xA8, "C1_MAN", nullptr, 0},     {0xAE, "C1_SPP", nullptr, 0},
    {0xB0, "C1_PWR", nullptr, 0},     {0xB2, "C1_DCP", nullptr, 0},
    {0xB3, "C1_DEV", nullptr, 0},     {0xA9, "C1_STAT", nullptr, 0},
    {0xB8, "C1_MEM", nullptr, 0},     {0xC0, "C2_PHY", nullptr, 0},
    {0xC1, "C2_GPS", nullptr, 0},     {0xC2, "C2_WIN", nullptr, 0},
    {0xC4, "C2_AMASS", nullptr, 0},   {0xD0, "C2_EPD", nullptr, 0},
    {0xD1, "C2_EPCFG", nullptr, 0},   {0x0B, "DT_OPEN", nullptr, 0},
    {0x00, "DT_DATA", nullptr, 0},    {0x06, "DT_FILL", nullptr, 0},
    {0x0A, "DT_DACK", nullptr, 0},    {0x69, "C2_TERC", nullptr, 0},
    {0x2E, "C1_SSC", nullptr, 0},     {0x6A, "C2_TERR", nullptr, 0},
};
const int q330_codedefs_size = (int)(sizeof(q330_codedefs) / sizeof(q330_codedefs[0]));

const Qtpb14Tokendefs qtpb14_tokendefs[] = {
    {1, "token version number", N(TOK1_Tokendef), 1, nullptr},
    {2, "network and station id", N(TOK2_Tokendef), 7, nullptr},
    {3, "DP netserver", N(TOK3_Tokendef), 2, nullptr},
    {4, "data subscription server", N(TOK4_Tokendef), 40, nullptr},
    {5, "DP webserver", N(TOK5_Tokendef), 2, nullptr},
    {6, "clock processing", N(TOK6_Tokendef), 16, nullptr},
    {7, "log and timing id", N(TOK7_Tokendef), 10, nullptr},
    {8, "configuration id", N(TOK8_Tokendef), 8, nullptr},
    {9, "dataserver port", N(TOK9_Tokendef), 2, nullptr},
    {128, "logical channel queue", N(TOK128_Tokendef), 14, nullptr},
};
const int qtpb14_tokendefs_size = (int)(sizeof(qtpb14_tokendefs) / sizeof(qtpb14_tokendefs[0]));
