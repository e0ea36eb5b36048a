-- What wixl has no element for, added to the built package with msibuild.
-- @VERSION@ and @UPGRADE_CODE@ are the package's own. One statement each,
-- ended by a semicolon at the end of a line.

-- Crash recovery as `zorv-helper.exe install` sets it: restart after 5 s,
-- three times; the failure count resets after a day (86400 s).
CREATE TABLE `MsiServiceConfigFailureActions` (
  `MsiServiceConfigFailureActions` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL,
  `Event` SHORT NOT NULL, `ResetPeriod` LONG, `RebootMessage` CHAR(255) LOCALIZABLE,
  `Command` CHAR(255), `Actions` CHAR(255), `DelayActions` CHAR(255),
  `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfigFailureActions`);
INSERT INTO `MsiServiceConfigFailureActions`
  (`MsiServiceConfigFailureActions`, `Name`, `Event`, `ResetPeriod`, `Actions`, `DelayActions`, `Component_`)
  VALUES ('HelperRecovery', 'VEXL2VpnService', 1, 86400, '1[~]1[~]1', '5000[~]5000[~]5000', 'Helper');
-- Between InstallServices (5800) and StartServices (5900).
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`)
  VALUES ('MsiConfigureServices', 'VersionNT >= 600', 5850);

-- What the service writes beside itself goes with it, file by file (Wine's
-- installer takes no wildcards here): its log and the core's, each with the
-- five generations rotation keeps (kLogMaxFiles, kCoreLogGenerations); a
-- stale core configuration; a core placed by the administrator or deployed by
-- a client; then the folder. The folder properties are set only for a real
-- removal (zorv-helper.wxs), never for the removal inside an upgrade.
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveServiceLog', 'Helper', 'service.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveServiceLog1', 'Helper', 'service.1.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveServiceLog2', 'Helper', 'service.2.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveServiceLog3', 'Helper', 'service.3.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveServiceLog4', 'Helper', 'service.4.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveServiceLog5', 'Helper', 'service.5.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveCoreLog', 'Helper', 'sing-box.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveCoreLog1', 'Helper', 'sing-box.1.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveCoreLog2', 'Helper', 'sing-box.2.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveCoreLog3', 'Helper', 'sing-box.3.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveCoreLog4', 'Helper', 'sing-box.4.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveCoreLog5', 'Helper', 'sing-box.5.log', 'REMOVEDLOGSFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveCoreConfig', 'Helper', 'sing-box.json', 'REMOVEDSERVICEFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveDeployedCore', 'Helper', 'sing-box.exe', 'REMOVEDSERVICEFOLDER', 2);
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`)
  VALUES ('RemoveLogsFolder', 'Helper', 'REMOVEDLOGSFOLDER', 2);

-- A rebuild of the same version replaces the installed one too (wixl's
-- MajorUpgrade has no AllowSameVersionUpgrades): the upper bound becomes
-- inclusive (msidbUpgradeAttributesVersionMaxInclusive). The older product
-- is removed by its feature (REMOVE=Main, not ALL), which removes all of it;
-- with UPGRADINGPRODUCTCODE, which Wine's installer does not pass, this is
-- how its removal rows tell an upgrade from a real removal (zorv-helper.wxs).
DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED';
INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `Remove`, `ActionProperty`)
  VALUES ('@UPGRADE_CODE@', '@VERSION@', 513, 'Main', 'WIX_UPGRADE_DETECTED');

-- `msiexec /i ... STRICTMODE=1` sets the hardened-mode policy: the component
-- that writes it installs only then, and is permanent (attributes 260 + 16,
-- msidbComponentAttributesPermanent), so that neither an upgrade nor the
-- removal of this package deletes a policy an administrator set. STRICTMODE is
-- passed on to the installation's server side as a secure property.
UPDATE `Component` SET `Attributes` = 276, `Condition` = 'STRICTMODE = "1"' WHERE `Component` = 'StrictModePolicy';
UPDATE `Property` SET `Value` = 'STRICTMODE;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE `Property` = 'SecureCustomProperties';

-- The Event Log source's message file is the helper itself: "#%" makes the
-- value REG_EXPAND_SZ, as `install` writes it.
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('EventMessageFile', 2, 'SYSTEM\CurrentControlSet\Services\EventLog\Application\VEXL2VpnService',
          'EventMessageFile', '#%[#HelperExe]', 'Helper');
-- Name "-": the whole key goes when the component is removed.
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`)
  VALUES ('EventSourceKey', 2, 'SYSTEM\CurrentControlSet\Services\EventLog\Application\VEXL2VpnService', '-',
          'Helper');
