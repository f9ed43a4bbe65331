-- Tables of a project database. Column order is the order in which the row
-- classes of common/db_rows.h read a row, so new columns go at the end.
--
-- Texts are binary strings no longer than the record field that holds them:
-- names are made by the server, but host descriptions, output documents and
-- standard error come from clients and applications in whatever bytes they
-- like, and a value the record could not hold is refused here rather than
-- cut when it is read back. Times are seconds since the epoch.
--
-- Every statement ends with a semicolon at the end of a line, and no
-- comment holds one, so a loader may split the file there.

create table workunit (
    id                      integer         not null auto_increment,
    create_time             integer         not null default 0,
    appid                   integer         not null default 0,
    name                    varbinary(255)  not null,
    xml_doc                 varbinary(4095) not null default '',
    batch                   integer         not null default 0,
    rsc_fpops_est           double          not null default 0,
    rsc_fpops_bound         double          not null default 0,
    rsc_memory_bound        double          not null default 0,
    rsc_disk_bound          double          not null default 0,
    need_validate           smallint        not null default 0,
    canonical_resultid      integer         not null default 0,
    canonical_credit        double          not null default 0,
    transition_time         integer         not null default 0,
    delay_bound             integer         not null default 0,
    error_mask              integer         not null default 0,
    file_delete_state       integer         not null default 0,
    assimilate_state        integer         not null default 0,
    min_quorum              integer         not null default 0,
    target_nresults         integer         not null default 0,
    max_error_results       integer         not null default 0,
    max_total_results       integer         not null default 0,
    max_success_results     integer         not null default 0,
    result_template_file    varbinary(255)  not null default '',
    priority                integer         not null default 0,
    app_version_id          integer         not null default 0,
    transitioner_flags      integer         not null default 0,
    primary key (id),
    unique key wu_name (name),
    key wu_timeout (transition_time),
    key wu_assimilate (appid, assimilate_state),
    key wu_file_delete (file_delete_state)
) engine=InnoDB default charset=utf8mb4;

create table result (
    id                      integer         not null auto_increment,
    create_time             integer         not null default 0,
    workunitid              integer         not null default 0,
    server_state            integer         not null default 0,
    outcome                 integer         not null default 0,
    client_state            integer         not null default 0,
    hostid                  integer         not null default 0,
    userid                  integer         not null default 0,
    report_deadline         integer         not null default 0,
    sent_time               integer         not null default 0,
    received_time           integer         not null default 0,
    name                    varbinary(255)  not null,
    cpu_time                double          not null default 0,
    xml_doc_out             varbinary(4095) not null default '',
    stderr_out              varbinary(4095) not null default '',
    batch                   integer         not null default 0,
    file_delete_state       integer         not null default 0,
    validate_state          integer         not null default 0,
    granted_credit          double          not null default 0,
    opaque                  double          not null default 0,
    random                  integer         not null default 0,
    app_version_num         integer         not null default 0,
    appid                   integer         not null default 0,
    exit_status             integer         not null default 0,
    teamid                  integer         not null default 0,
    priority                integer         not null default 0,
    elapsed_time            double          not null default 0,
    flops_estimate          double          not null default 0,
    app_version_id          integer         not null default 0,
    primary key (id),
    unique key res_name (name),
    key res_wu (workunitid, server_state),
    key res_unsent (server_state, appid, priority, random),
    key res_host (hostid, received_time),
    key res_user (userid),
    key res_file_delete (file_delete_state)
) engine=InnoDB default charset=utf8mb4;

create table host (
    id                      integer         not null auto_increment,
    create_time             integer         not null default 0,
    userid                  integer         not null default 0,
    rpc_seqno               integer         not null default 0,
    rpc_time                integer         not null default 0,
    total_credit            double          not null default 0,
    expavg_credit           double          not null default 0,
    expavg_time             double          not null default 0,
    timezone                integer         not null default 0,
    domain_name             varbinary(255)  not null default '',
    last_ip_addr            varbinary(255)  not null default '',
    external_ip_addr        varbinary(255)  not null default '',
    host_cpid               varbinary(255)  not null default '',
    p_ncpus                 integer         not null default 0,
    p_vendor                varbinary(255)  not null default '',
    p_model                 varbinary(255)  not null default '',
    p_fpops                 double          not null default 0,
    p_iops                  double          not null default 0,
    p_membw                 double          not null default 0,
    os_name                 varbinary(255)  not null default '',
    os_version              varbinary(255)  not null default '',
    m_nbytes                double          not null default 0,
    m_cache                 double          not null default 0,
    m_swap                  double          not null default 0,
    d_total                 double          not null default 0,
    d_free                  double          not null default 0,
    n_bwup                  double          not null default 0,
    n_bwdown                double          not null default 0,
    avg_turnaround          double          not null default 0,
    credit_per_cpu_sec      double          not null default 0,
    venue                   varbinary(255)  not null default '',
    nresults_today          integer         not null default 0,
    error_rate              double          not null default 0,
    max_results_day         integer         not null default 0,
    primary key (id),
    key host_user (userid),
    key host_cpid (host_cpid),
    key host_fpops (p_fpops)
) engine=InnoDB default charset=utf8mb4;

create table assignment (
    id                      integer         not null auto_increment,
    create_time             integer         not null default 0,
    target_id               integer         not null default 0,
    target_type             integer         not null default 0,
    multi                   smallint        not null default 0,
    workunitid              integer         not null default 0,
    resultid                integer         not null default 0,
    primary key (id),
    key asgn_wu (workunitid),
    key asgn_target (target_type, target_id)
) engine=InnoDB default charset=utf8mb4;
