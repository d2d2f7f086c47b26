// The names under which the daemon publishes its state; modemwatchctl reads them back.
#pragma once

inline constexpr char kMetricsDirectory[] = "/run/modemwatchd";
inline constexpr char kMetricsPath[] = "/run/modemwatchd/modemwatchd.prom";

inline constexpr char kBuildInfo[] = "modemwatchd_build_info";
inline constexpr char kUp[] = "modemwatchd_up";
inline constexpr char kStartTime[] = "modemwatchd_start_time_seconds";
inline constexpr char kStartBoottime[] = "modemwatchd_start_boottime_seconds";
inline constexpr char kPassInterval[] = "modemwatchd_pass_interval_seconds";
inline constexpr char kPasses[] = "modemwatchd_passes_total";
inline constexpr char kLastPassEnd[] = "modemwatchd_last_pass_end_time_seconds";
inline constexpr char kLastPassEndBoottime[] = "modemwatchd_last_pass_end_boottime_seconds";
inline constexpr char kLastPassDuration[] = "modemwatchd_last_pass_duration_seconds";
inline constexpr char kModemsPresent[] = "modemwatchd_modems_present";
inline constexpr char kPortsConfigured[] = "modemwatchd_ports_configured";
inline constexpr char kSmsdRunning[] = "modemwatchd_smsd_running";
inline constexpr char kStatusReadable[] = "modemwatchd_status_file_readable";
inline constexpr char kPortsReceiving[] = "modemwatchd_ports_receiving";
inline constexpr char kPortsBlocked[] = "modemwatchd_ports_blocked";
inline constexpr char kPortState[] = "modemwatchd_port_state";
inline constexpr char kPortSpool[] = "modemwatchd_port_spool_directory";
inline constexpr char kPortAnswering[] = "modemwatchd_port_answering";
inline constexpr char kPortNotAnsweringSince[] = "modemwatchd_port_not_answering_since_seconds";
inline constexpr char kPortSignal[] = "modemwatchd_port_signal_dbm";
inline constexpr char kHealing[] = "modemwatchd_healing";
inline constexpr char kPortHeals[] = "modemwatchd_port_heals_total";
inline constexpr char kPortHealGivenUp[] = "modemwatchd_port_heal_given_up";
inline constexpr char kPortHealSteps[] = "modemwatchd_port_heal_steps_total";
inline constexpr char kPortHealLastStep[] = "modemwatchd_port_heal_last_step_info";
inline constexpr char kPortSent[] = "modemwatchd_port_messages_sent_total";
inline constexpr char kPortSendFailures[] = "modemwatchd_port_send_failures_total";
inline constexpr char kPortReceived[] = "modemwatchd_port_messages_received_total";
inline constexpr char kPortLastSent[] = "modemwatchd_port_last_sent_time_seconds";
inline constexpr char kPortLastReceived[] = "modemwatchd_port_last_received_time_seconds";
inline constexpr char kPortProblem[] = "modemwatchd_port_problem";
inline constexpr char kPortLastFailure[] = "modemwatchd_port_last_failure_info";
inline constexpr char kMessagesWaiting[] = "modemwatchd_messages_waiting";
inline constexpr char kMessagesWaitingComplete[] = "modemwatchd_messages_waiting_complete";
inline constexpr char kOldestWaiting[] = "modemwatchd_oldest_message_waiting_seconds";
inline constexpr char kSmsdResponding[] = "modemwatchd_smsd_responding";
// The causes of kPortProblem, in this order.
inline constexpr const char* kPortProblemCauses[] = {"not_answering", "sim", "network", "rejected", "storage_full"};
inline constexpr char kRestarts[] = "modemwatchd_smsd_restarts_total";
inline constexpr char kLastRestart[] = "modemwatchd_last_smsd_restart_time_seconds";
inline constexpr char kRestartOwed[] = "modemwatchd_smsd_restart_owed";
