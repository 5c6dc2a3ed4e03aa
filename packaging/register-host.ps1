# velmora-register-host.ps1: registers the Velmora web host for the current user. It writes the
# native-messaging manifests beside the host's executable and sets the default value of each
# browser's per-user registry key to the manifest's path; -Uninstall removes both again.
#
#   velmora-register-host.ps1 -ChromiumId <32 letters a-p>[,...] [-FirefoxId <name@domain>[,...]]
#                             [-HostPath <velmora-web-host.exe>]
#   velmora-register-host.ps1 -Uninstall
[CmdletBinding(DefaultParameterSetName = 'Install')]
param(
  [Parameter(ParameterSetName = 'Install')][string[]]$ChromiumId = @(),
  [Parameter(ParameterSetName = 'Install')][string[]]$FirefoxId = @(),
  [Parameter(ParameterSetName = 'Install')][string]$HostPath =
    (Join-Path $PSScriptRoot 'velmora-web-host.exe'),
  [Parameter(ParameterSetName = 'Uninstall', Mandatory = $true)][switch]$Uninstall
)
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

$Name = 'com.velmora.web_host'
$Description = 'Links the Velmora browser extension to the Velmora desktop agent'
# Chrome and Edge read the same manifest; Firefox needs its own key for the allowed extensions.
$Registrations = @(
  @{ Key = "HKCU:\Software\Google\Chrome\NativeMessagingHosts\$Name"; Family = 'chromium' },
  @{ Key = "HKCU:\Software\Microsoft\Edge\NativeMessagingHosts\$Name"; Family = 'chromium' },
  @{ Key = "HKCU:\Software\Mozilla\NativeMessagingHosts\$Name"; Family = 'firefox' }
)
$ManifestFiles = @{ chromium = "$Name.json"; firefox = "$Name.firefox.json" }

function Assert-Ids([string[]]$Ids, [string]$Pattern, [string]$What) {
  foreach ($id in $Ids) {
    if ($id -cnotmatch $Pattern) { throw "not a $What extension ID: '$id'" }
  }
}

function Write-Manifest([string]$Path, [string]$Key, [string[]]$Allowed) {
  $manifest = [ordered]@{
    name = $Name
    description = $Description
    path = $HostPath
    type = 'stdio'
    $Key = [object[]]$Allowed
  }
  # UTF-8 without a byte-order mark, whatever the PowerShell version writes by default.
  $json = ConvertTo-Json -InputObject $manifest -Depth 3
  [System.IO.File]::WriteAllText($Path, $json + "`n", (New-Object System.Text.UTF8Encoding $false))
  Write-Output "wrote $Path"
}

function Install-Host {
  Assert-Ids $ChromiumId '^[a-p]{32}$' 'Chromium'
  Assert-Ids $FirefoxId '^([A-Za-z0-9._+-]*@[A-Za-z0-9._-]+|\{[0-9A-Fa-f-]{36}\})$' 'Firefox'
  if ($ChromiumId.Count + $FirefoxId.Count -eq 0) { throw 'give at least one extension ID' }
  if (-not (Test-Path -LiteralPath $HostPath -PathType Leaf)) { throw "no host at '$HostPath'" }
  $script:HostPath = (Resolve-Path -LiteralPath $HostPath).ProviderPath
  $folder = Split-Path -Parent $HostPath

  $allowed = @{
    chromium = @($ChromiumId | ForEach-Object { "chrome-extension://$_/" })
    firefox = @($FirefoxId)
  }
  $keys = @{ chromium = 'allowed_origins'; firefox = 'allowed_extensions' }
  foreach ($family in 'chromium', 'firefox') {
    if ($allowed[$family].Count -gt 0) {
      Write-Manifest (Join-Path $folder $ManifestFiles[$family]) $keys[$family] $allowed[$family]
    }
  }
  foreach ($registration in $Registrations) {
    $family = $registration.Family
    if ($allowed[$family].Count -eq 0) { continue }
    New-Item -Path $registration.Key -Force | Out-Null
    Set-Item -LiteralPath $registration.Key -Value (Join-Path $folder $ManifestFiles[$family])
    Write-Output "registered $($registration.Key)"
  }
}

# Removes each key and the manifest it names, if that manifest is one of ours.
function Uninstall-Host {
  foreach ($registration in $Registrations) {
    if (-not (Test-Path -LiteralPath $registration.Key)) { continue }
    $manifest = (Get-Item -LiteralPath $registration.Key).GetValue('')
    Remove-Item -LiteralPath $registration.Key -Force
    Write-Output "unregistered $($registration.Key)"
    if ($manifest -and ($ManifestFiles.Values -contains (Split-Path -Leaf $manifest)) -and
        (Test-Path -LiteralPath $manifest -PathType Leaf)) {
      Remove-Item -LiteralPath $manifest -Force
      Write-Output "removed $manifest"
    }
  }
}

if ($Uninstall) { Uninstall-Host } else { Install-Host }
